// Secured channels against the server core in memory: every policy and mode
// carries sessions and renews its token; client certificates that are
// expired, not yet valid, of an unknown issuer, of too short a key, for
// another application, untrusted, revoked or without their CA's revocation
// list get their status and the channel closes; a tampered, replayed or
// stray-token message closes it too.
#include "Pki.h"
#include "UaTestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <filesystem>
#include <fstream>

using namespace ua;

namespace {

constexpr std::int64_t kDay = 24 * 3600;

struct Validity {
    std::int64_t notBefore = std::time(nullptr) - kDay;
    std::int64_t notAfter = std::time(nullptr) + 30 * kDay;
};

std::shared_ptr<const LocalIdentity> MakeIdentity(const std::string& name, int bits, Validity v = {},
                                                  const LocalIdentity* issuer = nullptr, bool ca = false)
{
    static std::uint64_t serial = 1;
    auto id = std::make_shared<LocalIdentity>();
    id->key = crypto::RsaKey::Generate(bits);
    crypto::CertificateRequest r;
    r.commonName = name;
    r.organization = "Linvaro tests";
    r.applicationUri = "urn:linvaro-test:" + name;
    r.dnsNames = {"localhost"};
    r.notBefore = v.notBefore;
    r.notAfter = v.notAfter;
    r.ca = ca;
    id->certificate = crypto::MakeCertificate(r, id->key, issuer ? issuer->certificate.get() : nullptr,
                                              issuer ? issuer->key : id->key, ++serial);
    return id;
}

ReadRequest ReadOfScaleValue()
{
    ReadRequest r;
    r.nodesToRead = {ReadValueId{NodeId(1, "Scale_COM1"), 13, "", {}}};
    return r;
}

StatusCode ReadScale(Client& c)
{
    ReadRequest r = ReadOfScaleValue();
    ReadResponse response;
    const StatusCode s = c.Call(enc::ReadRequest, r, enc::ReadResponse, response);
    if (IsBad(s) || response.results.size() != 1)
        return IsBad(s) ? s : sc::BadUnexpectedError;
    return response.results[0].status;
}

// A revocation list of `ca` (DER) that names the given certificates.
std::string MakeCrl(const LocalIdentity& ca, const std::vector<const crypto::Certificate*>& revoked)
{
    X509_CRL* crl = X509_CRL_new();
    ASN1_TIME* last = ASN1_TIME_set(nullptr, std::time(nullptr) - 3600);
    ASN1_TIME* next = ASN1_TIME_set(nullptr, std::time(nullptr) + 30 * kDay);
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.certificate->Raw()));
    X509_CRL_set1_lastUpdate(crl, last);
    X509_CRL_set1_nextUpdate(crl, next);
    for (const crypto::Certificate* c : revoked) {
        X509_REVOKED* r = X509_REVOKED_new();
        X509_REVOKED_set_serialNumber(r, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(c->Raw())));
        X509_REVOKED_set_revocationDate(r, last);
        X509_CRL_add0_revoked(crl, r);
    }
    X509_CRL_sort(crl);
    std::string der;
    if (X509_CRL_sign(crl, ca.key.Raw(), EVP_sha256()) > 0) {
        unsigned char* bytes = nullptr;
        const int n = i2d_X509_CRL(crl, &bytes);
        if (n > 0)
            der.assign(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(n));
        OPENSSL_free(bytes);
    }
    ASN1_TIME_free(last);
    ASN1_TIME_free(next);
    X509_CRL_free(crl);
    return der;
}

} // namespace

class UaSecurity : public UaServerFixture {
protected:
    void SetUp() override
    {
        UaServerFixture::SetUp();
        ASSERT_TRUE(folder.isValid());
        pki = folder.path().toStdString() + "/pki/";
        store = std::make_shared<CertificateStore>(pki, CertificateStore::Options{});
        std::string error;
        ASSERT_TRUE(store->MakeFolders(error)) << error;
        own = MakeIdentity("server", 2048);
        auto security = std::make_shared<SecurityConfig>();
        security->own = own;
        security->policies = RsaPolicies();
        security->validate = [store = store](const crypto::Certificate& leaf, const std::string& chain) {
            return store->Validate(leaf, chain);
        };
        ServerConfig config;
        config.security = security;
        config.log = [this](const std::string& line) { notes.push_back(line); };
        server = std::make_unique<Server>(hub.get(), config, [this] { return clock; });
    }

    void Trust(const LocalIdentity& id)
    {
        std::ofstream(pki + "trusted/certs/" + CertificateStore::FileName(*id.certificate), std::ios::binary)
            << id.certificate->Der();
    }

    // A client on a channel of the given security; opened tells whether
    // the channel came up.
    Client& Secure(const PolicyParams* policy, MessageSecurityMode mode, std::shared_ptr<const LocalIdentity> id,
                   bool& opened, LoopbackPipe** pipeOut = nullptr)
    {
        clients.push_back(std::make_unique<Client>());
        Client& c = *clients.back();
        c.SetSecurity(policy, mode, std::move(id), own->certificate);
        auto pipe = std::make_unique<LoopbackPipe>(*server, clock);
        if (pipeOut)
            *pipeOut = pipe.get();
        opened = c.Connect(std::move(pipe), "opc.tcp://localhost:4840", 0);
        return c;
    }

    QTemporaryDir folder;
    std::string pki;
    std::shared_ptr<CertificateStore> store;
    std::shared_ptr<const LocalIdentity> own;
    std::vector<std::string> notes;
};

TEST_F(UaSecurity, EveryPolicyAndModeCarriesSessionsAndRenewsItsToken)
{
    const auto client = MakeIdentity("client", 2048);
    Trust(*client);
    for (const PolicyParams* policy : RsaPolicies()) {
        for (MessageSecurityMode mode : {MessageSecurityMode::Sign, MessageSecurityMode::SignAndEncrypt}) {
            SCOPED_TRACE(std::string(policy->name) + (mode == MessageSecurityMode::Sign ? " Sign" : " SignAndEncrypt"));
            bool opened = false;
            Client& c = Secure(policy, mode, client, opened);
            ASSERT_TRUE(opened) << c.Error();
            ASSERT_TRUE(c.OpenSession(0)) << c.Error();
            EXPECT_EQ(ReadScale(c), sc::Good);
            ASSERT_TRUE(c.Renew(60000, 0)) << c.Error();
            // The old token still counts until the new one is used.
            c.UsePreviousToken(true);
            EXPECT_EQ(ReadScale(c), sc::Good);
            c.UsePreviousToken(false);
            EXPECT_EQ(ReadScale(c), sc::Good);
            c.Close();
        }
    }
    // Channels without security go on beside them.
    Client& plain = Connect();
    EXPECT_EQ(ReadScale(plain), sc::Good);
}

TEST_F(UaSecurity, BadClientCertificatesGetTheirStatusAndTheChannelCloses)
{
    const std::int64_t now = std::time(nullptr);
    const auto expired = MakeIdentity("expired", 2048, {now - 60 * kDay, now - kDay});
    const auto early = MakeIdentity("early", 2048, {now + kDay, now + 60 * kDay});
    const auto shortKey = MakeIdentity("short", 1024);
    const auto unknownCa = MakeIdentity("unknown-ca", 2048, {}, nullptr, true);
    const auto stranger = MakeIdentity("stranger", 2048, {}, unknownCa.get());
    const auto untrusted = MakeIdentity("untrusted", 2048);
    for (const auto* id : {expired.get(), early.get(), shortKey.get(), stranger.get()})
        Trust(*id);

    struct Case {
        std::shared_ptr<const LocalIdentity> id;
        StatusCode status;
    } cases[] = {
        {expired, sc::BadCertificateTimeInvalid},
        {early, sc::BadCertificateTimeInvalid},
        {shortKey, sc::BadCertificatePolicyCheckFailed},
        {stranger, sc::BadCertificateChainIncomplete},
        {untrusted, sc::BadCertificateUntrusted},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.id->certificate->CommonName());
        LoopbackPipe* pipe = nullptr;
        bool opened = true;
        Client& c = Secure(RsaPolicies().front(), MessageSecurityMode::SignAndEncrypt, k.id, opened, &pipe);
        EXPECT_FALSE(opened);
        EXPECT_TRUE(pipe->Closed());
        // The client read the server's Error message on its way.
        EXPECT_EQ(c.Error().rfind(std::string("server error ") + StatusName(k.status) + ":", 0), 0u) << c.Error();
    }
    // The untrusted one waits in rejected/certs for an operator, who trusts
    // it by moving the file.
    const std::string name = CertificateStore::FileName(*untrusted->certificate);
    ASSERT_TRUE(std::filesystem::exists(pki + "rejected/certs/" + name));
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::string& n) { return n.find(name) != n.npos; }));
    std::filesystem::rename(pki + "rejected/certs/" + name, pki + "trusted/certs/" + name);
    bool opened = false;
    Client& trusted = Secure(RsaPolicies().back(), MessageSecurityMode::Sign, untrusted, opened);
    ASSERT_TRUE(opened) << trusted.Error();
    EXPECT_TRUE(trusted.OpenSession(0)) << trusted.Error();

    // A trusted certificate used for another application: CreateSession
    // refuses it and the channel closes.
    LoopbackPipe* pipe = nullptr;
    Client& other = Secure(RsaPolicies().front(), MessageSecurityMode::Sign, untrusted, opened, &pipe);
    ASSERT_TRUE(opened) << other.Error();
    other.SetApplicationUri("urn:linvaro-test:someone-else");
    EXPECT_FALSE(other.OpenSession(0));
    EXPECT_EQ(other.Result(), sc::BadCertificateUriInvalid);
    EXPECT_TRUE(pipe->Closed());
}

TEST_F(UaSecurity, TamperedReplayedAndStrayTokenMessagesCloseTheChannel)
{
    const auto client = MakeIdentity("client", 2048);
    Trust(*client);
    enum class Fault { Signature, Replay, Token };
    for (MessageSecurityMode mode : {MessageSecurityMode::Sign, MessageSecurityMode::SignAndEncrypt}) {
        for (Fault fault : {Fault::Signature, Fault::Replay, Fault::Token}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + "/" + std::to_string(static_cast<int>(fault)));
            LoopbackPipe* pipe = nullptr;
            bool opened = false;
            Client& c = Secure(RsaPolicies().back(), mode, client, opened, &pipe);
            ASSERT_TRUE(opened) << c.Error();
            ASSERT_TRUE(c.OpenSession(0)) << c.Error();
            ReadRequest read = ReadOfScaleValue();
            read.header.authenticationToken = c.AuthenticationToken();
            read.header.timeoutHint = 60000;
            std::string body;
            EncodeMessage(body, enc::ReadRequest, read);
            std::string chunk = c.MakeChunk('F', body, 1000);
            StatusCode expected = sc::BadSecurityChecksFailed;
            if (fault == Fault::Signature) {
                chunk[chunk.size() - 5] ^= 0x20;
            } else if (fault == Fault::Replay) {
                // The first copy is served; the same sequence number again
                // is a replay.
                ASSERT_TRUE(c.SendRaw(chunk));
                std::uint32_t id = 0, type = 0;
                std::string response;
                ASSERT_TRUE(c.Receive(id, type, response, 0)) << c.Error();
                EXPECT_EQ(id, 1000u);
                expected = sc::BadSequenceNumberInvalid;
            } else {
                std::uint32_t token = 0;
                std::memcpy(&token, chunk.data() + 12, 4);
                token += 7;
                std::memcpy(chunk.data() + 12, &token, 4);
                expected = sc::BadSecureChannelTokenUnknown;
            }
            c.SendRaw(chunk);
            EXPECT_TRUE(pipe->Closed());
            std::string received;
            c.WaitClosed(0, &received);
            EXPECT_EQ(LastError(received), expected) << StatusName(LastError(received));
        }
    }
}

TEST_F(UaSecurity, CaIssuedCertificatesNeedTheirCasRevocationList)
{
    const auto ca = MakeIdentity("plant-ca", 2048, {}, nullptr, true);
    const auto member = MakeIdentity("member", 2048, {}, ca.get());
    const auto revoked = MakeIdentity("revoked", 2048, {}, ca.get());
    Trust(*ca);
    const auto open = [&](const std::shared_ptr<const LocalIdentity>& id, std::string& error) {
        bool opened = false;
        Client& c = Secure(RsaPolicies().front(), MessageSecurityMode::SignAndEncrypt, id, opened);
        error = c.Error();
        return opened && c.OpenSession(0);
    };
    std::string error;
    // Without the CA's list nobody can tell whether it withdrew the client.
    EXPECT_FALSE(open(member, error));
    EXPECT_EQ(error.rfind("server error BadCertificateRevocationUnknown:", 0), 0u) << error;

    const std::string crl = MakeCrl(*ca, {revoked->certificate.get()});
    ASSERT_FALSE(crl.empty());
    std::ofstream(pki + "trusted/crl/plant-ca.crl", std::ios::binary) << crl;
    EXPECT_TRUE(open(member, error)) << error;
    EXPECT_FALSE(open(revoked, error));
    EXPECT_EQ(error.rfind("server error BadCertificateRevoked:", 0), 0u) << error;
}
