#include "Pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ua {

namespace {

constexpr const char* kOwnCertificate = "own/certs/linvaro.der";
constexpr const char* kOwnKey = "own/private/linvaro.pem";
constexpr const char* kFolders[] = {"own/certs",    "own/private", "trusted/certs", "trusted/crl",
                                    "issuers/certs", "issuers/crl", "rejected/certs"};
constexpr int kMinIssuerKeyBits = 2048;
constexpr int kMinSignatureSecurityBits = 112; // SHA-1 signatures are below

bool Exists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}


std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::shared_ptr<X509_CRL> ReadCrl(const std::string& path)
{
    const std::string bytes = ReadFile(path);
    X509_CRL* crl = nullptr;
    if (bytes.compare(0, 10, "-----BEGIN") == 0) {
        if (BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))) {
            crl = PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
        }
    } else {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size()));
    }
    return crl ? std::shared_ptr<X509_CRL>(crl, X509_CRL_free) : nullptr;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// What OpenSSL's chain check found, by the steps of OPC 10000-4.
struct Findings {
    bool invalid = false, chainIncomplete = false, policy = false, untrusted = false;
    bool leafTime = false, issuerTime = false, leafUse = false, issuerUse = false;
    bool revocationUnknown = false, issuerRevocationUnknown = false, revoked = false, issuerRevoked = false;
};

int FindingsIndex()
{
    static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Collects every fault of the chain (and goes on), so that they are told
// in the standard's order rather than in OpenSSL's.
int Collect(int ok, X509_STORE_CTX* ctx)
{
    if (ok)
        return 1;
    auto* f = static_cast<Findings*>(X509_STORE_CTX_get_ex_data(ctx, FindingsIndex()));
    const int depth = X509_STORE_CTX_get_error_depth(ctx);
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        f->chainIncomplete = true;
        break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        f->untrusted = true;
        break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        (depth == 0 ? f->leafTime : f->issuerTime) = true;
        break;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
        // A self-signed certificate has no issuer that could revoke it.
        if (!(cert && X509_self_signed(cert, 0) == 1))
            (depth == 0 ? f->revocationUnknown : f->issuerRevocationUnknown) = true;
        break;
    case X509_V_ERR_CERT_REVOKED:
        (depth == 0 ? f->revoked : f->issuerRevoked) = true;
        break;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE:
        (depth == 0 ? f->leafUse : f->issuerUse) = true;
        break;
    default:
        f->invalid = true;
        break;
    }
    return 1;
}

// The policy's rules for a certificate of the chain: RSA keys from 2048
// bits (the leaf's upper bound is checked when the channel opens) and
// signatures stronger than SHA-1.
bool FitsPolicy(X509* cert, bool leaf)
{
    int securityBits = 0;
    if (X509_get_signature_info(cert, nullptr, nullptr, &securityBits, nullptr) != 1)
        return false;
    const bool selfSigned = X509_self_signed(cert, 0) == 1;
    if (!selfSigned && securityBits < kMinSignatureSecurityBits)
        return false;
    if (leaf)
        return true;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    return key && EVP_PKEY_get_bits(key) >= kMinIssuerKeyBits;
}

} // namespace

bool WriteFileWhole(const std::string& path, const std::string& bytes, mode_t mode, std::string& error)
{
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, mode);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

CertificateStore::CertificateStore(std::string pkiFolder, Options options)
    : pki_(std::move(pkiFolder)), options_(options)
{
}

CertificateStore::~CertificateStore() = default;

bool CertificateStore::MakeFolders(std::string& error) const
{
    for (const char* folder : kFolders) {
        std::error_code ec;
        std::filesystem::create_directories(pki_ + folder, ec);
        if (ec) {
            error = "cannot make " + pki_ + folder + ": " + ec.message();
            return false;
        }
    }
    ::chmod((pki_ + "own/private").c_str(), 0700);
    return true;
}

std::string CertificateStore::FileName(const crypto::Certificate& certificate)
{
    std::string name = certificate.CommonName();
    for (char& c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == ' ' || c == '.' || c == '-' || c == '_' || c == '@'))
            c = '_';
    if (name.size() > 64)
        name.resize(64);
    if (name.empty())
        name = "client";
    return name + " [" + Hex(certificate.Thumbprint()) + "].der";
}

void CertificateStore::refresh()
{
    // What the folders hold (names, times and sizes); read again when that
    // changes, as when an operator moves a certificate into trusted/certs.
    std::string stamp;
    const char* folders[] = {"trusted/certs/", "issuers/certs/", "trusted/crl/", "issuers/crl/"};
    for (const char* folder : folders) {
        stamp += folder;
        for (const std::string& name : FilesIn(pki_ + folder)) {
            struct stat st{};
            if (::stat((pki_ + folder + name).c_str(), &st) == 0)
                stamp += name + ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                         ":" + std::to_string(st.st_size) + "/";
        }
    }
    if (stamp == stamp_)
        return;
    stamp_ = stamp;
    trusted_.clear();
    issuers_.clear();
    crls_.clear();
    for (const std::string& name : FilesIn(pki_ + "trusted/certs/"))
        if (auto c = crypto::Certificate::FromFile(pki_ + "trusted/certs/" + name))
            trusted_.push_back(std::move(c));
    for (const std::string& name : FilesIn(pki_ + "issuers/certs/"))
        if (auto c = crypto::Certificate::FromFile(pki_ + "issuers/certs/" + name))
            issuers_.push_back(std::move(c));
    for (const char* folder : {"trusted/crl/", "issuers/crl/"})
        for (const std::string& name : FilesIn(pki_ + folder))
            if (auto crl = ReadCrl(pki_ + folder + name))
                crls_.push_back(std::move(crl));
}

std::string CertificateStore::storeRejected(const crypto::Certificate& certificate)
{
    const std::string folder = pki_ + "rejected/certs/";
    const std::string name = FileName(certificate);
    if (Exists(folder + name) || FilesIn(folder).size() >= options_.maxRejected)
        return {};
    std::string error;
    if (!WriteFileWhole(folder + name, certificate.Der(), 0644, error))
        return "OPC UA: " + error;
    return "OPC UA client \"" + certificate.CommonName() + "\" (" + certificate.ApplicationUri() +
           ") is not trusted; its certificate is stored as " + folder + name +
           " - move it to " + pki_ + "trusted/certs/ to trust the client.";
}

std::string CertificateStore::trustNow(const crypto::Certificate& certificate)
{
    const std::string name = FileName(certificate);
    std::string error;
    if (!WriteFileWhole(pki_ + "trusted/certs/" + name, certificate.Der(), 0644, error))
        return "OPC UA: " + error;
    ::unlink((pki_ + "rejected/certs/" + name).c_str());
    return "OPC UA client \"" + certificate.CommonName() + "\" (" + certificate.ApplicationUri() +
           ") trusted at its first connection (TrustNewClients=1): " + pki_ + "trusted/certs/" + name;
}

CertificateVerdict CertificateStore::Validate(const crypto::Certificate& leaf, const std::string& chain)
{
    refresh();
    // The rest of the chain as the client sent it.
    std::vector<std::shared_ptr<const crypto::Certificate>> sent;
    for (std::string rest = chain; !rest.empty();) {
        std::string next;
        auto c = crypto::Certificate::FromDer(rest, &next);
        if (!c)
            return {sc::BadCertificateInvalid, {}};
        sent.push_back(std::move(c));
        rest = std::move(next);
    }

    Findings f;
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
        sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_free(s); });
    if (!store || !ctx || !untrusted)
        return {sc::BadInternalError, {}};
    for (const auto& c : trusted_)
        X509_STORE_add_cert(store.get(), c->Raw());
    for (const auto& crl : crls_)
        X509_STORE_add_crl(store.get(), crl.get());
    // Issuers complete chains without being trusted themselves.
    for (const auto* list : {&issuers_, &sent})
        for (const auto& c : *list)
            sk_X509_push(untrusted.get(), c->Raw());
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf.Raw(), untrusted.get()) != 1)
        return {sc::BadInternalError, {}};
    // A trusted certificate anchors its chain even when it is not a root
    // (a client's own certificate in trusted/certs, or an intermediate CA).
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    X509_STORE_CTX_set_ex_data(ctx.get(), FindingsIndex(), &f);
    X509_STORE_CTX_set_verify_cb(ctx.get(), Collect);
    X509_verify_cert(ctx.get());

    // Every issuer up to a root has to be known (trusted, or in
    // issuers/certs): a trusted certificate whose issuer is missing has a
    // chain that stops short.
    if (STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get()); built && sk_X509_num(built) > 0) {
        X509* top = sk_X509_value(built, sk_X509_num(built) - 1);
        // Self-issued and signed by its own key (key usage aside: many
        // application certificates are their own issuer without keyCertSign).
        const bool root = X509_NAME_cmp(X509_get_subject_name(top), X509_get_issuer_name(top)) == 0 &&
                          X509_verify(top, X509_get0_pubkey(top)) == 1;
        if (!root)
            f.chainIncomplete = true;
    }
    if (STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get())) {
        for (int i = 0; i < sk_X509_num(built); ++i)
            if (!FitsPolicy(sk_X509_value(built, i), i == 0))
                f.policy = true;
    } else if (!FitsPolicy(leaf.Raw(), true)) {
        f.policy = true;
    }
    // An application instance certificate signs: a leaf whose key usage
    // leaves that out is not one.
    const std::uint32_t usage = X509_get_key_usage(leaf.Raw());
    if (usage != UINT32_MAX && !(usage & KU_DIGITAL_SIGNATURE))
        f.leafUse = true;

    if (f.invalid)
        return {sc::BadCertificateInvalid, {}};
    if (f.chainIncomplete)
        return {sc::BadCertificateChainIncomplete, f.untrusted ? storeRejected(leaf) : std::string()};
    if (f.policy)
        return {sc::BadCertificatePolicyCheckFailed, {}};
    const bool later = f.leafTime || f.issuerTime || f.leafUse || f.issuerUse || f.revocationUnknown ||
                       f.issuerRevocationUnknown || f.revoked || f.issuerRevoked;
    std::string note;
    if (f.untrusted) {
        if (!options_.trustNewClients || !leaf.SelfSigned() || later)
            return {sc::BadCertificateUntrusted, storeRejected(leaf)};
        note = trustNow(leaf);
    }
    if (f.leafTime)
        return {sc::BadCertificateTimeInvalid, note};
    if (f.issuerTime)
        return {sc::BadCertificateIssuerTimeInvalid, note};
    if (f.leafUse)
        return {sc::BadCertificateUseNotAllowed, note};
    if (f.issuerUse)
        return {sc::BadCertificateIssuerUseNotAllowed, note};
    if (f.revoked)
        return {sc::BadCertificateRevoked, note};
    if (f.issuerRevoked)
        return {sc::BadCertificateIssuerRevoked, note};
    if (f.revocationUnknown)
        return {sc::BadCertificateRevocationUnknown, note};
    if (f.issuerRevocationUnknown)
        return {sc::BadCertificateIssuerRevocationUnknown, note};
    return {sc::Good, note};
}

std::shared_ptr<const LocalIdentity> CertificateStore::LoadOrCreateOwn(const std::string& pkiFolder,
                                                                       const crypto::CertificateRequest& request,
                                                                       std::string& note, std::string& error)
{
    const std::string certPath = pkiFolder + kOwnCertificate;
    const std::string keyPath = pkiFolder + kOwnKey;
    const bool haveCert = Exists(certPath), haveKey = Exists(keyPath);
    auto own = std::make_shared<LocalIdentity>();
    if (haveCert && haveKey) {
        own->certificate = crypto::Certificate::FromFile(certPath);
        own->key = crypto::RsaKey::FromPem(ReadFile(keyPath));
        if (!own->certificate || !own->key || !own->certificate->PublicKey()) {
            error = "the application certificate " + certPath + " or its key " + keyPath + " cannot be read";
            return nullptr;
        }
        if (EVP_PKEY_eq(own->certificate->PublicKey().Raw(), own->key.Raw()) != 1) {
            error = "the key " + keyPath + " does not belong to the certificate " + certPath;
            return nullptr;
        }
        if (own->key.Bits() < 2048 || own->key.Bits() > 4096) {
            error = "the application certificate's key has " + std::to_string(own->key.Bits()) +
                    " bits; the security policies take 2048 to 4096";
            return nullptr;
        }
        struct stat st{};
        if (::stat(keyPath.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
            ::chmod(keyPath.c_str(), 0600);
            note = "the key file " + keyPath + " was readable by others; it is now readable by its owner only.";
        }
        return own;
    }
    if (haveCert || haveKey) {
        error = "pki/own holds " + std::string(haveCert ? "a certificate without its key" : "a key without its certificate") +
                "; move " + pkiFolder + "own away to have a new application certificate made";
        return nullptr;
    }
    CertificateStore folders(pkiFolder, {});
    if (!folders.MakeFolders(error))
        return nullptr;
    own->key = crypto::RsaKey::Generate(2048);
    crypto::CertificateRequest r = request;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (r.notBefore == 0)
        r.notBefore = now - 24 * 3600; // clocks of clients a little behind
    if (r.notAfter == 0)
        r.notAfter = now + 20LL * 365 * 24 * 3600;
    own->certificate = crypto::MakeCertificate(r, own->key, nullptr, own->key);
    if (!own->key || !own->certificate) {
        error = "OpenSSL cannot make the application certificate";
        return nullptr;
    }
    if (!WriteFileWhole(keyPath, own->key.ToPem(), 0600, error))
        return nullptr;
    if (!WriteFileWhole(certPath, own->certificate->Der(), 0644, error)) {
        ::unlink(keyPath.c_str()); // neither, rather than a key without its certificate
        return nullptr;
    }
    note = "OPC UA application certificate made: " + certPath + " (" + r.applicationUri + ", thumbprint " +
           Hex(own->certificate->Thumbprint()) + ").";
    return own;
}

} // namespace ua
