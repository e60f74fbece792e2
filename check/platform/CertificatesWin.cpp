#include "check/TlsTrust.h"

#include <openssl/x509.h>
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

void AddSystemCertificates(X509_STORE* store) {
    // The system's trusted roots, copied into the store once for the program's context.
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
    if (!roots)
        return;
    for (PCCERT_CONTEXT root = nullptr; (root = CertEnumCertificatesInStore(roots, root));) {
        const unsigned char* bytes = root->pbCertEncoded;
        if (X509* certificate = d2i_X509(nullptr, &bytes, long(root->cbCertEncoded))) {
            X509_STORE_add_cert(store, certificate);
            X509_free(certificate);
        }
    }
    CertCloseStore(roots, 0);
}
