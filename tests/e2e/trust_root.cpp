// Puts a test authority into the machine's trusted root store, or takes it
// out again, for tls_test.py: under Wine the store is the prefix's
// registry, which crypt32's chain engine reads; the host's trust is never
// touched.
//
//   trust_root add|remove CERT.der
//
// Exits 0 when done (removing one that is not there is done too), 1 on
// failure with one line on standard error.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
        std::fprintf(stderr, "usage: trust_root add|remove CERT.der\n");
        return 1;
    }
    static unsigned char der[16384];
    std::FILE* file = std::fopen(argv[2], "rb");
    const std::size_t length = file != nullptr ? std::fread(der, 1, sizeof der, file) : 0;
    if (file != nullptr) {
        std::fclose(file);
    }
    PCCERT_CONTEXT certificate =
        length > 0 && length < sizeof der
            ? CertCreateCertificateContext(X509_ASN_ENCODING, der, static_cast<DWORD>(length))
            : nullptr;
    if (certificate == nullptr) {
        std::fprintf(stderr, "trust_root: %s is no DER certificate\n", argv[2]);
        return 1;
    }
    // The registry half of the machine's root store: through the system
    // store (CERT_STORE_PROV_SYSTEM) Wine reports a removal as done and
    // keeps the certificate.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    int done = 0;
    if (store != nullptr && std::strcmp(argv[1], "add") == 0) {
        done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING,
                                                nullptr);
    } else if (store != nullptr) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, certificate, nullptr);
        // CertDeleteCertificateFromStore frees found, also when it fails.
        done = found == nullptr || CertDeleteCertificateFromStore(found);
    }
    if (!done) {
        std::fprintf(stderr, "trust_root %s: failed (error %lu)\n", argv[1],
                     static_cast<unsigned long>(GetLastError()));
    }
    CertFreeCertificateContext(certificate);
    if (store != nullptr) {
        CertCloseStore(store, 0);
    }
    return done ? 0 : 1;
}
