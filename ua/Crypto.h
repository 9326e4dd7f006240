#pragma once
// The cryptographic operations the secure channel, the sessions and the
// certificate store use, each one call into OpenSSL: random bytes, SHA-1
// thumbprints, HMAC-SHA256, P_SHA256 (composed from HMAC as OPC 10000-6
// and TLS 1.2 define it), AES-CBC without padding, RSA-OAEP (SHA-1) in
// blocks, RSA PKCS#1 v1.5 signatures with SHA-256, and X.509 certificates.
//
// Threads: every function may run on any thread. An RsaKey or Certificate
// is immutable once made and may be used by several threads at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace ua::crypto {

// n random bytes from OpenSSL's generator; empty when it fails.
std::string Random(std::size_t n);
std::string Sha1(std::string_view data);
std::string HmacSha256(std::string_view key, std::string_view data);
// P_SHA256(secret, seed), its first `length` bytes.
std::string PSha256(std::string_view secret, std::string_view seed, std::size_t length);
// AES-CBC (128 or 256 by the key's length) over whole blocks, in place, no
// padding. False when the key, IV or length do not fit.
bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, std::string& data);
// Whether a and b are equal, in a time that does not depend on where they
// differ.
bool SameBytes(std::string_view a, std::string_view b);
// Overwrites a secret before its memory is given back.
void Wipe(std::string& secret);

// An RSA key pair, or a public key alone.
class RsaKey {
public:
    RsaKey() = default;
    static RsaKey Generate(int bits);
    // A private key from PEM (PKCS#8 or traditional); empty when it is none.
    static RsaKey FromPem(std::string_view pem);
    static RsaKey Adopt(EVP_PKEY* key); // takes the reference

    explicit operator bool() const { return key_ != nullptr; }
    int Bits() const;
    std::size_t Bytes() const { return (static_cast<std::size_t>(Bits()) + 7) / 8; }
    // The largest plain block RSA-OAEP (SHA-1) takes with this key.
    std::size_t OaepPlainBlock() const { return Bytes() > 42 ? Bytes() - 42 : 0; }
    EVP_PKEY* Raw() const { return key_.get(); }
    std::string ToPem() const; // the private key, PKCS#8

    // RSA PKCS#1 v1.5 with SHA-256.
    bool Sign(std::string_view data, std::string& signature) const;
    bool Verify(std::string_view data, std::string_view signature) const;
    // RSA-OAEP with SHA-1, block by block: the plain text in blocks of at
    // most OaepPlainBlock() bytes, the cipher text in blocks of Bytes().
    bool Encrypt(std::string_view plain, std::string& cipher) const;
    bool Decrypt(std::string_view cipher, std::string& plain) const;

private:
    std::shared_ptr<EVP_PKEY> key_;
};

// An X.509 v3 certificate with what the endpoint reads from it.
class Certificate {
public:
    // The first DER certificate in der; what follows it (the rest of a
    // chain) goes to rest. Null when der does not start with one.
    static std::shared_ptr<const Certificate> FromDer(std::string_view der, std::string* rest = nullptr);
    // A certificate file, DER or PEM.
    static std::shared_ptr<const Certificate> FromFile(const std::string& path);
    static std::shared_ptr<const Certificate> Adopt(X509* x509); // takes the reference

    X509* Raw() const { return x509_.get(); }
    const std::string& Der() const { return der_; }
    const std::string& Thumbprint() const { return thumbprint_; } // SHA-1 of the DER form
    // The first URI of the subject alternative name ("" without one).
    const std::string& ApplicationUri() const { return applicationUri_; }
    std::string CommonName() const;
    const RsaKey& PublicKey() const { return publicKey_; } // empty when not RSA
    bool SelfSigned() const;
    // Validity, Unix seconds.
    std::int64_t NotBefore() const;
    std::int64_t NotAfter() const;

private:
    static std::shared_ptr<const Certificate> Make(X509* x509, std::string der);

    std::shared_ptr<X509> x509_;
    std::string der_;
    std::string thumbprint_;
    std::string applicationUri_;
    RsaKey publicKey_;
};

// What a new application instance certificate says.
struct CertificateRequest {
    std::string commonName;
    std::string organization;
    std::string applicationUri;
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
    std::int64_t notBefore = 0; // Unix seconds
    std::int64_t notAfter = 0;
    bool ca = false;            // a certificate authority (tests build chains)
};

// A certificate for subject's key: self-signed when issuer is null, else
// signed by issuerKey as issuer. Null when OpenSSL refuses.
std::shared_ptr<const Certificate> MakeCertificate(const CertificateRequest& request, const RsaKey& subject,
                                                   const Certificate* issuer, const RsaKey& issuerKey,
                                                   std::uint64_t serial = 0);

} // namespace ua::crypto
