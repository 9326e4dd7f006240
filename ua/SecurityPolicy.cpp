#include "SecurityPolicy.h"

#include "Transport.h"

#include <algorithm>
#include <cstring>

namespace ua {

namespace {

// Message header (8) and secure channel id (4) come before the token id of
// a symmetric chunk; the secured part starts after the token id.
constexpr std::size_t kTokenIdAt = kHeaderSize + 4;
constexpr std::size_t kSymmetricSecuredFrom = kTokenIdAt + 4;
constexpr std::size_t kSequenceHeaderSize = 8;

const PolicyParams kBasic256Sha256{kSecurityPolicyBasic256Sha256, "Basic256Sha256", 32, 32, 32, 16, 32, 2048, 4096};
const PolicyParams kAes128Sha256RsaOaep{kSecurityPolicyAes128Sha256RsaOaep, "Aes128_Sha256_RsaOaep", 32, 16, 32, 16, 32,
                                        2048, 4096};

void SetSize(std::string& chunk, std::size_t size)
{
    const auto n = static_cast<std::uint32_t>(size);
    std::memcpy(chunk.data() + 4, &n, 4);
}

std::uint32_t TokenIdOf(const std::string& chunk)
{
    std::uint32_t id = 0;
    if (chunk.size() >= kSymmetricSecuredFrom)
        std::memcpy(&id, chunk.data() + kTokenIdAt, 4);
    return id;
}

} // namespace

// Padding: see SecurityPolicy.h.
void AppendPadding(std::string& chunk, std::size_t plain, std::size_t signature, std::size_t block, bool extraByte)
{
    const std::size_t fixed = plain + 1 + (extraByte ? 1 : 0) + signature;
    const std::size_t padding = (block - fixed % block) % block;
    chunk.append(padding + 1, static_cast<char>(padding & 0xff));
    if (extraByte)
        chunk.push_back(static_cast<char>(padding >> 8));
}

bool StripPadding(std::string& chunk, std::size_t from, bool extraByte)
{
    std::size_t end = chunk.size();
    std::size_t high = 0;
    if (extraByte) {
        if (end <= from)
            return false;
        high = static_cast<unsigned char>(chunk[--end]);
    }
    if (end <= from)
        return false;
    const auto low = static_cast<unsigned char>(chunk[end - 1]);
    const std::size_t padding = high * 256 + low;
    if (end - from < kSequenceHeaderSize + padding + 1)
        return false;
    for (std::size_t i = end - padding - 1; i < end; ++i)
        if (static_cast<unsigned char>(chunk[i]) != low)
            return false;
    chunk.resize(end - padding - 1);
    return true;
}

namespace {

// SecurityPolicy None: chunks travel as they are, nonces are not used.
class NoSecurity final : public ChannelSecurity {
public:
    const char* PolicyUri() const override { return kSecurityPolicyNone; }
    bool Costly() const override { return false; }
    bool Accept(MessageSecurityMode mode) override { return mode == MessageSecurityMode::None; }
    MessageSecurityMode Mode() const override { return MessageSecurityMode::None; }
    std::size_t NonceLength() const override { return 0; }
    AsymmetricHeader LocalHeader() const override { return {kSecurityPolicyNone, {}, {}}; }
    const crypto::Certificate* RemoteCertificate() const override { return nullptr; }
    const std::string& RemoteChain() const override { return none_; }
    StatusCode UnprotectOpen(std::string&, std::size_t) const override { return sc::Good; }
    bool ProtectOpen(std::string& chunk, std::size_t) const override
    {
        SetSize(chunk, chunk.size());
        return true;
    }
    std::size_t MaxOpenBodySize(std::size_t chunkSize, std::size_t headerSize) const override
    {
        return chunkSize > headerSize ? chunkSize - headerSize : 0;
    }
    StatusCode Unprotect(std::string&) override { return sc::Good; }
    bool Protect(std::string& chunk) override { return ProtectOpen(chunk, 0); }
    std::size_t MaxBodySize(std::size_t chunkSize, std::size_t headerSize) const override
    {
        return MaxOpenBodySize(chunkSize, headerSize);
    }
    StatusCode DeriveKeys(std::uint32_t, const std::string&, const std::string&) override { return sc::Good; }
    void ForgetToken(std::uint32_t) override {}

private:
    std::string none_;
};

// Basic256Sha256 and Aes128_Sha256_RsaOaep.
class RsaSecurity final : public ChannelSecurity {
public:
    RsaSecurity(const PolicyParams& policy, std::shared_ptr<const LocalIdentity> own,
                std::shared_ptr<const crypto::Certificate> remote, std::string remoteChain, bool server)
        : p_(policy), own_(std::move(own)), remote_(std::move(remote)), remoteChain_(std::move(remoteChain)),
          server_(server)
    {
    }

    const char* PolicyUri() const override { return p_.uri; }
    bool Costly() const override { return true; }
    bool Accept(MessageSecurityMode mode) override
    {
        if (mode != MessageSecurityMode::Sign && mode != MessageSecurityMode::SignAndEncrypt)
            return false;
        if (mode_ != MessageSecurityMode::Invalid && mode != mode_)
            return false; // a renewal keeps the mode
        mode_ = mode;
        return true;
    }
    MessageSecurityMode Mode() const override { return mode_; }
    std::size_t NonceLength() const override { return p_.nonceLength; }
    AsymmetricHeader LocalHeader() const override
    {
        return {p_.uri, own_->certificate->Der(), remote_->Thumbprint()};
    }
    const crypto::Certificate* RemoteCertificate() const override { return remote_.get(); }
    const std::string& RemoteChain() const override { return remoteChain_; }

    StatusCode UnprotectOpen(std::string& chunk, std::size_t securedFrom) const override
    {
        // Encrypted with our public key, signed with the sender's private key.
        const crypto::RsaKey& mine = own_->key;
        const crypto::RsaKey& theirs = remote_->PublicKey();
        if (securedFrom > chunk.size())
            return sc::BadSecurityChecksFailed;
        std::string plain;
        if (!mine.Decrypt(std::string_view(chunk).substr(securedFrom), plain))
            return sc::BadSecurityChecksFailed;
        const std::size_t signatureSize = theirs.Bytes();
        if (plain.size() < kSequenceHeaderSize + 1 + signatureSize)
            return sc::BadSecurityChecksFailed;
        chunk.resize(securedFrom);
        chunk.append(plain, 0, plain.size() - signatureSize);
        if (!theirs.Verify(chunk, std::string_view(plain).substr(plain.size() - signatureSize)))
            return sc::BadSecurityChecksFailed;
        return StripPadding(chunk, securedFrom, mine.Bytes() > 256) ? sc::Good : sc::BadSecurityChecksFailed;
    }

    bool ProtectOpen(std::string& chunk, std::size_t securedFrom) const override
    {
        const crypto::RsaKey& mine = own_->key;
        const crypto::RsaKey& theirs = remote_->PublicKey();
        const std::size_t plainBlock = theirs.OaepPlainBlock();
        const std::size_t signatureSize = mine.Bytes();
        if (plainBlock == 0 || securedFrom > chunk.size())
            return false;
        AppendPadding(chunk, chunk.size() - securedFrom, signatureSize, plainBlock, theirs.Bytes() > 256);
        const std::size_t plainSize = chunk.size() - securedFrom + signatureSize;
        SetSize(chunk, securedFrom + plainSize / plainBlock * theirs.Bytes());
        std::string signature, cipher;
        if (!mine.Sign(chunk, signature) || signature.size() != signatureSize)
            return false;
        chunk += signature;
        if (!theirs.Encrypt(std::string_view(chunk).substr(securedFrom), cipher))
            return false;
        chunk.resize(securedFrom);
        chunk += cipher;
        return true;
    }

    std::size_t MaxOpenBodySize(std::size_t chunkSize, std::size_t headerSize) const override
    {
        // Whole cipher blocks after the message and security headers.
        const crypto::RsaKey& theirs = remote_->PublicKey();
        const std::size_t headers = headerSize - kSequenceHeaderSize;
        if (chunkSize <= headers || theirs.Bytes() == 0)
            return 0;
        const std::size_t plain = (chunkSize - headers) / theirs.Bytes() * theirs.OaepPlainBlock();
        const std::size_t overhead = kSequenceHeaderSize + own_->key.Bytes() + 1 + (theirs.Bytes() > 256 ? 1 : 0);
        return plain > overhead ? plain - overhead : 0;
    }

    StatusCode Unprotect(std::string& chunk) override
    {
        const auto it = tokens_.find(TokenIdOf(chunk));
        if (it == tokens_.end())
            return sc::BadSecureChannelTokenUnknown;
        const Keys& keys = it->second.remote;
        const bool encrypted = mode_ == MessageSecurityMode::SignAndEncrypt;
        if (chunk.size() < kSymmetricSecuredFrom + kSequenceHeaderSize + p_.signatureLength)
            return sc::BadSecurityChecksFailed;
        if (encrypted) {
            std::string secured = chunk.substr(kSymmetricSecuredFrom);
            if (!crypto::AesCbc(false, keys.encrypt, keys.iv, secured))
                return sc::BadSecurityChecksFailed;
            chunk.replace(kSymmetricSecuredFrom, std::string::npos, secured);
        }
        const std::size_t signedSize = chunk.size() - p_.signatureLength;
        const std::string mac = crypto::HmacSha256(keys.sign, std::string_view(chunk).substr(0, signedSize));
        if (!crypto::SameBytes(mac, std::string_view(chunk).substr(signedSize)))
            return sc::BadSecurityChecksFailed;
        chunk.resize(signedSize);
        // Padding is looked at only once the signature holds.
        if (encrypted && !StripPadding(chunk, kSymmetricSecuredFrom, false))
            return sc::BadSecurityChecksFailed;
        return sc::Good;
    }

    bool Protect(std::string& chunk) override
    {
        const auto it = tokens_.find(TokenIdOf(chunk));
        if (it == tokens_.end() || chunk.size() < kSymmetricSecuredFrom)
            return false;
        const Keys& keys = it->second.local;
        const bool encrypted = mode_ == MessageSecurityMode::SignAndEncrypt;
        if (encrypted)
            AppendPadding(chunk, chunk.size() - kSymmetricSecuredFrom, p_.signatureLength, p_.blockSize, false);
        SetSize(chunk, chunk.size() + p_.signatureLength);
        chunk += crypto::HmacSha256(keys.sign, chunk);
        if (!encrypted)
            return true;
        std::string secured = chunk.substr(kSymmetricSecuredFrom);
        if (!crypto::AesCbc(true, keys.encrypt, keys.iv, secured))
            return false;
        chunk.replace(kSymmetricSecuredFrom, std::string::npos, secured);
        return true;
    }

    std::size_t MaxBodySize(std::size_t chunkSize, std::size_t headerSize) const override
    {
        const std::size_t overhead = headerSize + p_.signatureLength;
        if (mode_ != MessageSecurityMode::SignAndEncrypt)
            return chunkSize > overhead ? chunkSize - overhead : 0;
        const std::size_t headers = headerSize - kSequenceHeaderSize;
        if (chunkSize <= headers)
            return 0;
        const std::size_t plain = (chunkSize - headers) / p_.blockSize * p_.blockSize;
        const std::size_t fixed = kSequenceHeaderSize + p_.signatureLength + 1;
        return plain > fixed ? plain - fixed : 0;
    }

    StatusCode DeriveKeys(std::uint32_t tokenId, const std::string& clientNonce,
                          const std::string& serverNonce) override
    {
        if (clientNonce.size() != p_.nonceLength || serverNonce.size() != p_.nonceLength)
            return sc::BadNonceInvalid;
        const std::size_t length = p_.signingKeyLength + p_.encryptingKeyLength + p_.blockSize;
        // The client's keys come from the server's nonce as secret and its
        // own as seed; the server's the other way round.
        std::string client = crypto::PSha256(serverNonce, clientNonce, length);
        std::string server = crypto::PSha256(clientNonce, serverNonce, length);
        if (client.size() != length || server.size() != length)
            return sc::BadInternalError;
        TokenKeys& t = tokens_[tokenId];
        split(server_ ? server : client, t.local);
        split(server_ ? client : server, t.remote);
        crypto::Wipe(client);
        crypto::Wipe(server);
        return sc::Good;
    }

    void ForgetToken(std::uint32_t tokenId) override { tokens_.erase(tokenId); }

private:
    struct Keys {
        std::string sign, encrypt, iv;
        ~Keys()
        {
            crypto::Wipe(sign);
            crypto::Wipe(encrypt);
            crypto::Wipe(iv);
        }
    };
    struct TokenKeys {
        Keys local;  // what this end signs and encrypts with
        Keys remote; // what the other end's chunks are checked with
    };

    void split(const std::string& material, Keys& keys) const
    {
        keys.sign = material.substr(0, p_.signingKeyLength);
        keys.encrypt = material.substr(p_.signingKeyLength, p_.encryptingKeyLength);
        keys.iv = material.substr(p_.signingKeyLength + p_.encryptingKeyLength, p_.blockSize);
    }

    const PolicyParams& p_;
    std::shared_ptr<const LocalIdentity> own_;
    std::shared_ptr<const crypto::Certificate> remote_;
    std::string remoteChain_;
    bool server_;
    MessageSecurityMode mode_ = MessageSecurityMode::Invalid;
    std::map<std::uint32_t, TokenKeys> tokens_;
};

} // namespace

const std::vector<const PolicyParams*>& RsaPolicies()
{
    static const std::vector<const PolicyParams*> all{&kBasic256Sha256, &kAes128Sha256RsaOaep};
    return all;
}

const PolicyParams* FindPolicy(std::string_view uriOrName)
{
    for (const PolicyParams* p : RsaPolicies())
        if (uriOrName == p->uri || uriOrName == p->name)
            return p;
    return nullptr;
}

bool SecurityConfig::Offers(std::string_view policyUri, MessageSecurityMode mode) const
{
    const bool policy = std::any_of(policies.begin(), policies.end(),
                                    [&](const PolicyParams* p) { return policyUri == p->uri; });
    return policy && own && std::find(modes.begin(), modes.end(), mode) != modes.end();
}

std::shared_ptr<ChannelSecurity> MakeNoSecurity() { return std::make_shared<NoSecurity>(); }

std::shared_ptr<ChannelSecurity> MakeChannelSecurity(const AsymmetricHeader& header, const SecurityConfig* config,
                                                     StatusCode& error)
{
    error = sc::Good;
    // None uses no certificates: whatever a client sends along is ignored.
    if (header.securityPolicyUri == kSecurityPolicyNone)
        return MakeNoSecurity();
    const PolicyParams* policy = FindPolicy(header.securityPolicyUri);
    const bool offered = policy && config && config->own &&
                         std::find(config->policies.begin(), config->policies.end(), policy) != config->policies.end();
    if (!offered) {
        error = sc::BadSecurityPolicyRejected;
        return nullptr;
    }
    if (header.senderCertificate.empty() || header.receiverCertificateThumbprint.empty()) {
        error = sc::BadSecurityChecksFailed;
        return nullptr;
    }
    // The client encrypted for a certificate of ours: another one means it
    // holds a key we cannot use.
    if (header.receiverCertificateThumbprint != config->own->certificate->Thumbprint()) {
        error = sc::BadCertificateInvalid;
        return nullptr;
    }
    std::string chain;
    auto client = crypto::Certificate::FromDer(header.senderCertificate, &chain);
    if (!client || !client->PublicKey()) {
        error = sc::BadCertificateInvalid;
        return nullptr;
    }
    // A key the policy does not allow: no need to look further (and no
    // work spent on a key of absurd size).
    const int bits = client->PublicKey().Bits();
    if (bits < policy->minKeyBits || bits > policy->maxKeyBits) {
        error = sc::BadCertificatePolicyCheckFailed;
        return nullptr;
    }
    return std::make_shared<RsaSecurity>(*policy, config->own, std::move(client), std::move(chain), true);
}

std::shared_ptr<ChannelSecurity> MakeClientSecurity(const PolicyParams& policy,
                                                    std::shared_ptr<const LocalIdentity> own,
                                                    std::shared_ptr<const crypto::Certificate> server)
{
    if (!own || !own->certificate || !own->key || !server || !server->PublicKey())
        return nullptr;
    return std::make_shared<RsaSecurity>(policy, std::move(own), std::move(server), std::string(), false);
}

} // namespace ua
