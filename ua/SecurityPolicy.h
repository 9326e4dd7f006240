#pragma once
// The seam between a secure channel and its security policy. The channel
// parses chunks and keeps tokens and sequence numbers; the policy decides
// what protects a chunk (signature, encryption, padding) and what keys a
// token carries.
//
// Policies: None, and the RSA policies Basic256Sha256 and
// Aes128_Sha256_RsaOaep, each with the modes Sign and SignAndEncrypt:
//   OpenSecureChannel   signed with the sender's key (RSA PKCS#1 v1.5,
//                       SHA-256) and encrypted with the receiver's
//                       (RSA-OAEP, SHA-1) in either mode;
//   other messages      HMAC-SHA256 with the token's keys, AES-CBC (256 or
//                       128) as well in SignAndEncrypt, keys from P_SHA256
//                       over the two nonces of the token's
//                       OpenSecureChannel.
// The same object serves either end: a server's channel, or the client of
// ua/Client.h (the keys it signs with are the other end's it checks).
//
// Threads: the asymmetric calls (UnprotectOpen, ProtectOpen) are const and
// touch only what is fixed at creation (the keys and certificates), so a
// worker thread may run them while the channel's thread works with the
// token keys. Everything else belongs to the channel's thread.
#include "Crypto.h"
#include "Messages.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ua {

inline constexpr const char* kSecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
inline constexpr const char* kSecurityPolicyBasic256Sha256 = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
inline constexpr const char* kSecurityPolicyAes128Sha256RsaOaep =
    "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep";
// The algorithms of both RSA policies, as signatures and encrypted secrets
// name them.
inline constexpr const char* kRsaSha256Uri = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
inline constexpr const char* kRsaOaepUri = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";

// The parameters of an RSA policy (lengths in bytes).
struct PolicyParams {
    const char* uri;
    const char* name;              // the short name Linvaro.ini uses
    std::size_t signingKeyLength;  // derived HMAC key
    std::size_t encryptingKeyLength;
    std::size_t signatureLength;   // HMAC-SHA256
    std::size_t blockSize;         // AES block and IV
    std::size_t nonceLength;       // OpenSecureChannel nonces
    int minKeyBits;
    int maxKeyBits;
};

// Basic256Sha256, then Aes128_Sha256_RsaOaep.
const std::vector<const PolicyParams*>& RsaPolicies();
// A policy by URI or short name; null for None and anything unknown.
const PolicyParams* FindPolicy(std::string_view uriOrName);

// An application's own certificate and private key.
struct LocalIdentity {
    std::shared_ptr<const crypto::Certificate> certificate;
    crypto::RsaKey key;
};

// What a certificate check says: a status, and a line for the activity log
// when there is something an operator should know (a certificate stored
// for trust, a client trusted at its first connection).
struct CertificateVerdict {
    StatusCode status = sc::Good;
    std::string note;
};

// What a server's channels offer and how they check clients.
struct SecurityConfig {
    std::shared_ptr<const LocalIdentity> own;
    std::vector<const PolicyParams*> policies; // offered with each of `modes`
    std::vector<MessageSecurityMode> modes{MessageSecurityMode::Sign, MessageSecurityMode::SignAndEncrypt};
    // Checks a client's certificate and the rest of its chain (DER, one
    // after the other). Runs on the worker thread.
    std::function<CertificateVerdict(const crypto::Certificate& leaf, const std::string& chain)> validate;

    bool Offers(std::string_view policyUri, MessageSecurityMode mode) const;
};

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
    // Whether the asymmetric calls cost real time (RSA) and belong on a
    // worker thread.
    virtual bool Costly() const = 0;
    // Fixes the mode the first OpenSecureChannel asks for; false when the
    // policy does not take it.
    virtual bool Accept(MessageSecurityMode mode) = 0;
    virtual MessageSecurityMode Mode() const = 0;
    // The length of an OpenSecureChannel nonce (0: none).
    virtual std::size_t NonceLength() const = 0;
    // The asymmetric header this end puts on its OpenSecureChannel chunks.
    virtual AsymmetricHeader LocalHeader() const = 0;
    // The other end's certificate (null under None) and the rest of its
    // chain.
    virtual const crypto::Certificate* RemoteCertificate() const = 0;
    virtual const std::string& RemoteChain() const = 0;

    // OpenSecureChannel chunks. Everything from `securedFrom` on (sequence
    // header and body, then padding and signature) is the secured part;
    // unprotecting checks and decrypts it and leaves the plain sequence
    // header and body there. A bad status closes the channel.
    virtual StatusCode UnprotectOpen(std::string& chunk, std::size_t securedFrom) const = 0;
    virtual bool ProtectOpen(std::string& chunk, std::size_t securedFrom) const = 0;
    // The largest body one chunk of chunkSize bytes can carry after
    // headerSize bytes of headers (sequence header included).
    virtual std::size_t MaxOpenBodySize(std::size_t chunkSize, std::size_t headerSize) const = 0;

    // Other chunks (MSG, CLO): secured from the sequence header on, with the
    // keys of the token the chunk names.
    virtual StatusCode Unprotect(std::string& chunk) = 0;
    virtual bool Protect(std::string& chunk) = 0;
    virtual std::size_t MaxBodySize(std::size_t chunkSize, std::size_t headerSize) const = 0;

    // The keys of a token from the nonces of its OpenSecureChannel; a
    // token that is no longer used is forgotten.
    virtual StatusCode DeriveKeys(std::uint32_t tokenId, const std::string& clientNonce,
                                  const std::string& serverNonce) = 0;
    virtual void ForgetToken(std::uint32_t tokenId) = 0;
};

// A server channel's security from the header of its first
// OpenSecureChannel: None, or a policy the config offers, with the
// client's certificate (not yet checked: that is config.validate's work).
// Null with error set when the policy is not offered or the certificates
// do not fit it.
std::shared_ptr<ChannelSecurity> MakeChannelSecurity(const AsymmetricHeader& header, const SecurityConfig* config,
                                                     StatusCode& error);
// A client's: its own identity and the server's certificate.
std::shared_ptr<ChannelSecurity> MakeClientSecurity(const PolicyParams& policy,
                                                    std::shared_ptr<const LocalIdentity> own,
                                                    std::shared_ptr<const crypto::Certificate> server);
// The padding of a secured chunk before its signature: PaddingSize, that
// many bytes of its value, and the high byte of a two-byte size when the
// encrypting key is longer than 2048 bits (extraByte). `plain` counts the
// bytes from the sequence header on; with the signature they fill whole
// blocks. StripPadding checks it from the end of `chunk` (signature gone);
// `from` is where the sequence header starts.
void AppendPadding(std::string& chunk, std::size_t plain, std::size_t signature, std::size_t block, bool extraByte);
bool StripPadding(std::string& chunk, std::size_t from, bool extraByte);
// SecurityPolicy None (either end).
std::shared_ptr<ChannelSecurity> MakeNoSecurity();

} // namespace ua
