#include "Crypto.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <fstream>
#include <iterator>

namespace ua::crypto {

namespace {

const unsigned char* U8(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
    void operator()(BIO* b) const { BIO_free(b); }
    void operator()(X509* x) const { X509_free(x); }
    void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
    void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
template <class T>
using Owned = std::unique_ptr<T, CtxFree>;

std::int64_t UnixTime(const ASN1_TIME* t)
{
    tm when{};
    if (!t || ASN1_TIME_to_tm(t, &when) != 1)
        return 0;
    return static_cast<std::int64_t>(timegm(&when));
}

// One RSA-OAEP (SHA-1) operation on one block.
bool OaepBlock(EVP_PKEY* key, bool encrypt, std::string_view in, std::string& out)
{
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) <= 0)
        return false;
    std::size_t size = 0;
    const auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
    if (op(ctx.get(), nullptr, &size, U8(in), in.size()) <= 0)
        return false;
    const std::size_t at = out.size();
    out.resize(at + size);
    if (op(ctx.get(), reinterpret_cast<unsigned char*>(out.data() + at), &size, U8(in), in.size()) <= 0) {
        out.resize(at);
        return false;
    }
    out.resize(at + size);
    return true;
}

bool AddExtension(X509* x, X509V3_CTX& ctx, int nid, const char* value)
{
    Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(x, ext.get(), -1) == 1;
}

bool AddName(GENERAL_NAMES* names, int type, const std::string& value)
{
    GENERAL_NAME* name = GENERAL_NAME_new();
    if (!name)
        return false;
    if (type == GEN_IPADD) {
        ASN1_OCTET_STRING* ip = a2i_IPADDRESS(value.c_str());
        if (!ip) {
            GENERAL_NAME_free(name);
            return false;
        }
        GENERAL_NAME_set0_value(name, GEN_IPADD, ip);
    } else {
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        if (!text || ASN1_STRING_set(text, value.data(), static_cast<int>(value.size())) != 1) {
            ASN1_IA5STRING_free(text);
            GENERAL_NAME_free(name);
            return false;
        }
        GENERAL_NAME_set0_value(name, type, text);
    }
    if (sk_GENERAL_NAME_push(names, name) <= 0) {
        GENERAL_NAME_free(name);
        return false;
    }
    return true;
}

} // namespace

std::string Random(std::size_t n)
{
    std::string out(n, '\0');
    if (n != 0 && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
        return {};
    return out;
}

std::string Sha1(std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha1(), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string HmacSha256(std::string_view key, std::string_view data)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), U8(data), data.size(), mac, &size))
        return {};
    return std::string(reinterpret_cast<const char*>(mac), size);
}

std::string PSha256(std::string_view secret, std::string_view seed, std::size_t length)
{
    // A(0) = seed, A(i) = HMAC(secret, A(i-1));
    // output = HMAC(secret, A(1) + seed) + HMAC(secret, A(2) + seed) + ...
    std::string out;
    out.reserve(length + 32);
    std::string a(seed);
    while (out.size() < length) {
        a = HmacSha256(secret, a);
        if (a.empty())
            return {};
        std::string block = a;
        block.append(seed);
        out += HmacSha256(secret, block);
    }
    out.resize(length);
    return out;
}

bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, std::string& data)
{
    const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_cbc() : key.size() == 16 ? EVP_aes_128_cbc() : nullptr;
    if (!cipher || iv.size() != 16 || data.size() % 16 != 0)
        return false;
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, U8(key), U8(iv), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return false;
    auto* p = reinterpret_cast<unsigned char*>(data.data());
    int n = 0, tail = 0;
    if (EVP_CipherUpdate(ctx.get(), p, &n, p, static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), p + n, &tail) != 1)
        return false;
    return static_cast<std::size_t>(n + tail) == data.size();
}

bool SameBytes(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void Wipe(std::string& secret)
{
    if (!secret.empty())
        OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

// ---- RSA ----------------------------------------------------------------------

RsaKey RsaKey::Adopt(EVP_PKEY* key)
{
    RsaKey k;
    if (key && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA)
        k.key_.reset(key, EVP_PKEY_free);
    else if (key)
        EVP_PKEY_free(key);
    return k;
}

RsaKey RsaKey::Generate(int bits) { return Adopt(EVP_RSA_gen(static_cast<unsigned>(bits))); }

RsaKey RsaKey::FromPem(std::string_view pem)
{
    Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return {};
    return Adopt(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

int RsaKey::Bits() const { return key_ ? EVP_PKEY_get_bits(key_.get()) : 0; }

std::string RsaKey::ToPem() const
{
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!key_ || !bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

bool RsaKey::Sign(std::string_view data, std::string& signature) const
{
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    std::size_t size = 0;
    if (!key_ || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size, U8(data), data.size()) != 1)
        return false;
    signature.resize(size);
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, U8(data),
                       data.size()) != 1)
        return false;
    signature.resize(size);
    return true;
}

bool RsaKey::Verify(std::string_view data, std::string_view signature) const
{
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    return key_ && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), U8(signature), signature.size(), U8(data), data.size()) == 1;
}

bool RsaKey::Encrypt(std::string_view plain, std::string& cipher) const
{
    const std::size_t block = OaepPlainBlock();
    if (!key_ || block == 0)
        return false;
    cipher.clear();
    for (std::size_t at = 0; at < plain.size(); at += block)
        if (!OaepBlock(key_.get(), true, plain.substr(at, block), cipher))
            return false;
    return true;
}

bool RsaKey::Decrypt(std::string_view cipher, std::string& plain) const
{
    const std::size_t block = Bytes();
    plain.clear();
    if (!key_ || block == 0 || cipher.empty() || cipher.size() % block != 0)
        return false;
    for (std::size_t at = 0; at < cipher.size(); at += block)
        if (!OaepBlock(key_.get(), false, cipher.substr(at, block), plain)) {
            Wipe(plain);
            return false;
        }
    return true;
}

// ---- certificates -------------------------------------------------------------

std::shared_ptr<const Certificate> Certificate::Adopt(X509* x509)
{
    if (!x509)
        return nullptr;
    unsigned char* der = nullptr;
    const int n = i2d_X509(x509, &der);
    if (n <= 0) {
        X509_free(x509);
        return nullptr;
    }
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return Make(x509, std::move(bytes));
}

std::shared_ptr<const Certificate> Certificate::Make(X509* x509, std::string der)
{
    auto c = std::make_shared<Certificate>();
    c->x509_.reset(x509, X509_free);
    c->der_ = std::move(der);
    c->thumbprint_ = Sha1(c->der_);
    if (auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x509, NID_subject_alt_name, nullptr, nullptr))) {
        Owned<GENERAL_NAMES> owned(names);
        for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
            if (name->type != GEN_URI)
                continue;
            const ASN1_STRING* uri = name->d.uniformResourceIdentifier;
            c->applicationUri_.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                      static_cast<std::size_t>(ASN1_STRING_length(uri)));
            break;
        }
    }
    c->publicKey_ = RsaKey::Adopt(X509_get_pubkey(x509));
    return c;
}

std::shared_ptr<const Certificate> Certificate::FromDer(std::string_view der, std::string* rest)
{
    const unsigned char* p = U8(der);
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!x509)
        return nullptr;
    const std::size_t used = static_cast<std::size_t>(p - U8(der));
    if (rest)
        *rest = std::string(der.substr(used));
    // The DER form is the bytes as they came: a peer's thumbprint was taken
    // of those, and a re-encoding could differ.
    return Make(x509, std::string(der.substr(0, used)));
}

std::shared_ptr<const Certificate> Certificate::FromFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return nullptr;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.compare(0, 10, "-----BEGIN") == 0) {
        Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        return bio ? Adopt(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) : nullptr;
    }
    std::string rest;
    return FromDer(bytes, &rest);
}

std::string Certificate::CommonName() const
{
    X509_NAME* subject = X509_get_subject_name(x509_.get());
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0)
        return {};
    unsigned char* text = nullptr;
    const int n = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    if (n < 0)
        return {};
    std::string name(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
    OPENSSL_free(text);
    return name;
}

bool Certificate::SelfSigned() const { return X509_self_signed(x509_.get(), 0) == 1; }
std::int64_t Certificate::NotBefore() const { return UnixTime(X509_get0_notBefore(x509_.get())); }
std::int64_t Certificate::NotAfter() const { return UnixTime(X509_get0_notAfter(x509_.get())); }

std::shared_ptr<const Certificate> MakeCertificate(const CertificateRequest& r, const RsaKey& subject,
                                                   const Certificate* issuer, const RsaKey& issuerKey,
                                                   std::uint64_t serial)
{
    Owned<X509> x(X509_new());
    if (!x || !subject || !issuerKey || X509_set_version(x.get(), 2) != 1)
        return nullptr;
    if (serial == 0) {
        const std::string random = Random(8);
        for (char c : random)
            serial = (serial << 8) | static_cast<unsigned char>(c);
        serial = (serial >> 1) | 1; // positive and not zero
    }
    X509_NAME* name = X509_get_subject_name(x.get());
    const auto* cn = reinterpret_cast<const unsigned char*>(r.commonName.c_str());
    const auto* org = reinterpret_cast<const unsigned char*>(r.organization.c_str());
    if (ASN1_INTEGER_set_uint64(X509_get_serialNumber(x.get()), serial) != 1 ||
        !ASN1_TIME_set(X509_getm_notBefore(x.get()), static_cast<time_t>(r.notBefore)) ||
        !ASN1_TIME_set(X509_getm_notAfter(x.get()), static_cast<time_t>(r.notAfter)) ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) != 1 ||
        (!r.organization.empty() && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, org, -1, -1, 0) != 1) ||
        X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer->Raw()) : name) != 1 ||
        X509_set_pubkey(x.get(), subject.Raw()) != 1)
        return nullptr;

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer->Raw() : x.get(), x.get(), nullptr, nullptr, 0);
    const char* usage = r.ca ? "critical,digitalSignature,keyCertSign,cRLSign"
                             : "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment";
    if (!AddExtension(x.get(), ctx, NID_basic_constraints, r.ca ? "critical,CA:TRUE" : "critical,CA:FALSE") ||
        !AddExtension(x.get(), ctx, NID_key_usage, usage) ||
        (!r.ca && !AddExtension(x.get(), ctx, NID_ext_key_usage, "serverAuth,clientAuth")) ||
        !AddExtension(x.get(), ctx, NID_subject_key_identifier, "hash"))
        return nullptr;
    // The issuer's key identifier helps clients build chains; a self-signed
    // certificate names its own.
    AddExtension(x.get(), ctx, NID_authority_key_identifier, "keyid");

    Owned<GENERAL_NAMES> names(sk_GENERAL_NAME_new_null());
    if (!names)
        return nullptr;
    bool ok = r.applicationUri.empty() || AddName(names.get(), GEN_URI, r.applicationUri);
    for (const std::string& dns : r.dnsNames)
        ok = ok && AddName(names.get(), GEN_DNS, dns);
    for (const std::string& ip : r.ipAddresses)
        ok = ok && AddName(names.get(), GEN_IPADD, ip);
    if (!ok || (sk_GENERAL_NAME_num(names.get()) > 0 &&
                X509_add1_ext_i2d(x.get(), NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) != 1))
        return nullptr;
    if (X509_sign(x.get(), issuerKey.Raw(), EVP_sha256()) <= 0)
        return nullptr;
    return Certificate::Adopt(x.release());
}

} // namespace ua::crypto
