#pragma once
// The certificate folders of the endpoint under the home folder, laid out
// as OPC UA applications do:
//
//   pki/own/certs/linvaro.der     the application instance certificate,
//                                 created self-signed at the first start
//   pki/own/private/linvaro.pem   its private key (readable by its owner only)
//   pki/trusted/certs/            client certificates, or the CAs that issued
//                                 them, that are trusted
//   pki/trusted/crl/              the revocation lists of trusted CAs
//   pki/issuers/certs/, crl/      CAs that complete a client's chain without
//                                 being trusted themselves, and their lists
//   pki/rejected/certs/           certificates of clients that were refused
//                                 as untrusted: moving one to trusted/certs
//                                 trusts that client
//
// A client's certificate is checked in the order OPC 10000-4 gives: its
// structure and chain (Bad_CertificateInvalid, Bad_CertificateChainIncomplete),
// the policy's rules for keys and signatures (Bad_CertificatePolicyCheckFailed),
// trust (Bad_CertificateUntrusted), validity (Bad_CertificateTimeInvalid,
// Bad_CertificateIssuerTimeInvalid), use (Bad_CertificateUseNotAllowed) and
// revocation (Bad_CertificateRevocationUnknown, Bad_CertificateRevoked and
// their Issuer forms). A certificate issued by a CA needs that CA's
// revocation list (an empty one will do); a self-signed certificate has no
// issuer that could revoke it, so it needs none: it is withdrawn by taking
// it out of trusted/certs. The application URI is checked at CreateSession.
//
// Threads: a CertificateStore belongs to one thread at a time (the
// endpoint's worker); the folders are read again when they changed.
#include "SecurityPolicy.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

typedef struct X509_crl_st X509_CRL;

namespace ua {

// Writes a file whole with the given mode: a temporary beside it, synced,
// then renamed over it, so that it is never half written. False with error
// set (and no temporary left) when that fails.
bool WriteFileWhole(const std::string& path, const std::string& bytes, mode_t mode, std::string& error);

class CertificateStore {
public:
    struct Options {
        // Commissioning: a self-signed client certificate that is not yet
        // trusted is trusted at its first connection (copied to
        // trusted/certs, with a line in the activity log).
        bool trustNewClients = false;
        // At most this many certificates wait in rejected/certs; further
        // refused ones are not stored.
        std::size_t maxRejected = 200;
    };

    // pkiFolder ends with a slash ("<home>/pki/").
    CertificateStore(std::string pkiFolder, Options options);
    ~CertificateStore();
    CertificateStore(const CertificateStore&) = delete;
    CertificateStore& operator=(const CertificateStore&) = delete;

    // Creates the folders that are missing.
    bool MakeFolders(std::string& error) const;
    CertificateVerdict Validate(const crypto::Certificate& leaf, const std::string& chain);

    // The application's own certificate and key from pki/own, made
    // self-signed (RSA 2048, SHA-256, 20 years) when neither file is there.
    // `note` says what happened worth a line in the log (made, key file
    // mode repaired). Null with error set when the files cannot be used
    // (never overwritten then).
    static std::shared_ptr<const LocalIdentity> LoadOrCreateOwn(const std::string& pkiFolder,
                                                                const crypto::CertificateRequest& request,
                                                                std::string& note, std::string& error);
    // File names in pki/rejected/certs: "<common name> [<thumbprint>].der".
    static std::string FileName(const crypto::Certificate& certificate);

private:
    void refresh();
    std::string storeRejected(const crypto::Certificate& certificate);
    std::string trustNow(const crypto::Certificate& certificate);

    std::string pki_;
    Options options_;
    std::string stamp_; // what the folders held when last read
    std::vector<std::shared_ptr<const crypto::Certificate>> trusted_, issuers_;
    std::vector<std::shared_ptr<X509_CRL>> crls_;
};

} // namespace ua
