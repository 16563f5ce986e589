// Where the certificates of the two certificate pages come from: files and the user's store.
#pragma once
#include <windows.h>

class CVCertificateDlg;

// Adds every certificate of a file (one DER or Base64 certificate, or a PKCS#7 bundle) to the page
// with the replace flag. A file that cannot be read is reported in an error message with the
// system's text. Returns the number of certificates added.
int LoadCertificateFile(CVCertificateDlg* page, const wchar_t* path);

// The open-file dialog for certificate files (encryption page only), then LoadCertificateFile.
int AddCertificateFromFile(CVCertificateDlg* page);

// The platform's certificate picker over the store named by CertSystemStoreName (default "MY");
// the chosen certificate is added with the replace flag. Returns the number added (0 or 1).
int AddCertificateFromStore(CVCertificateDlg* page);
