#pragma once
// The seam between a secure channel and its security policy. The channel
// parses chunks and keeps tokens and sequence numbers; the policy decides
// what protects a chunk (signature, encryption, padding) and what keys a
// token carries. Only the None policy exists today; a policy with keys
// plugs in through MakeChannelSecurity without changing the channel.
//
// Ownership: a channel owns its ChannelSecurity from its first
// OpenSecureChannel to its end.
#include "Messages.h"

#include <memory>
#include <string>
#include <string_view>

namespace ua {

inline constexpr const char* kSecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";

// What an OpenSecureChannel chunk says about its security (the asymmetric
// security header).
struct AsymmetricHeader {
    std::string securityPolicyUri;
    std::string senderCertificate;
    std::string receiverCertificateThumbprint;
};

class ChannelSecurity {
public:
    virtual ~ChannelSecurity() = default;
    virtual const char* PolicyUri() const = 0;
    // Whether the mode a client asks for in OpenSecureChannel fits the policy.
    virtual bool Accepts(MessageSecurityMode mode) const = 0;
    // The asymmetric header the server puts on its OpenSecureChannel answer.
    virtual AsymmetricHeader ServerHeader() const = 0;
    // Checks (and decrypts) a received chunk in place. Everything from
    // `securedFrom` on (sequence header and body, then padding and
    // signature) is the secured part; on success the chunk keeps only the
    // plain sequence header and body there. A bad status closes the channel.
    virtual StatusCode Unprotect(bool asymmetric, std::string& chunk, std::size_t securedFrom) = 0;
    // The largest body one chunk of chunkSize bytes can carry after
    // headerSize bytes of headers (sequence header included).
    virtual std::size_t MaxBodySize(bool asymmetric, std::size_t chunkSize, std::size_t headerSize) const = 0;
    // Pads, signs and encrypts an outgoing chunk in place from securedFrom
    // on and fixes the size in its header.
    virtual void Protect(bool asymmetric, std::string& chunk, std::size_t securedFrom) = 0;
    // A new token (issue or renew): takes the client's nonce, gives the
    // server's and derives the token's keys. Bad when the nonce is unfit.
    virtual StatusCode NewToken(std::uint32_t tokenId, const std::string& clientNonce, std::string& serverNonce) = 0;
};

// The security of a new channel from its first OpenSecureChannel header;
// null with error set when the policy is unknown or the certificates do not
// fit it.
std::unique_ptr<ChannelSecurity> MakeChannelSecurity(const AsymmetricHeader& header, StatusCode& error);

} // namespace ua
