#include "SecurityPolicy.h"

#include <cstring>

namespace ua {

namespace {

// SecurityPolicy None: chunks travel as they are, nonces are not used.
class NoSecurity final : public ChannelSecurity {
public:
    const char* PolicyUri() const override { return kSecurityPolicyNone; }
    bool Accepts(MessageSecurityMode mode) const override { return mode == MessageSecurityMode::None; }
    AsymmetricHeader ServerHeader() const override { return {kSecurityPolicyNone, {}, {}}; }
    StatusCode Unprotect(bool, std::string&, std::size_t) override { return sc::Good; }
    std::size_t MaxBodySize(bool, std::size_t chunkSize, std::size_t headerSize) const override
    {
        return chunkSize > headerSize ? chunkSize - headerSize : 0;
    }
    void Protect(bool, std::string& chunk, std::size_t) override
    {
        const auto size = static_cast<std::uint32_t>(chunk.size());
        std::memcpy(chunk.data() + 4, &size, 4);
    }
    StatusCode NewToken(std::uint32_t, const std::string&, std::string& serverNonce) override
    {
        serverNonce.clear();
        return sc::Good;
    }
};

} // namespace

std::unique_ptr<ChannelSecurity> MakeChannelSecurity(const AsymmetricHeader& header, StatusCode& error)
{
    error = sc::Good;
    // None uses no certificates: whatever a client sends along is ignored.
    if (header.securityPolicyUri == kSecurityPolicyNone)
        return std::make_unique<NoSecurity>();
    error = sc::BadSecurityPolicyRejected;
    return nullptr;
}

} // namespace ua
