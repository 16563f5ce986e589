// Signature verification of signed, signed-inside-enveloped and signed-and-enveloped files, the
// signed-data decoder they use, and the signers list of the "Info" page.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>  // IProgressDialog

#include <string>
#include <vector>

#include "unpack/unpack_job.h"
#include "unpack/unpack_settings.h"
#include "unpack/unpack_view.h"

// One signer's outcome.
struct SignerCheck {
    LONG status = 0;        // -1 not checked; 0 verified; else the error code of the failed step
    DWORD chainStatus = 0;  // 0 in order; 0x30000000 outside validity; 0xA0000000 | chain error bits
    std::vector<BYTE> signerInfoEncoded;  // the SignerInfo's DER
    PCMSG_SIGNER_INFO signerInfo = nullptr;  // decoded view into signerInfoBuffer
    std::vector<uint64_t> signerInfoBuffer;
    PCCERT_CONTEXT certificate = nullptr;  // ownership passes to the signers list with its row
};

// A signedData message decoded by our own code: fed in pieces, it streams the content to an
// output function (the form of PFN_CMSG_STREAM_OUTPUT) while hashing it, and keeps the
// certificates and SignerInfos for verification. Accepts definite and indefinite (BER) lengths.
class SignedMessage;

// withContentInfo: the data starts at the ContentInfo (nested message) rather than at SignedData.
// Null with the last error set when it cannot be set up.
SignedMessage* OpenSignedMessage(bool withContentInfo, PFN_CMSG_STREAM_OUTPUT output, void* outputArg);
// FALSE with the last error (CRYPT_E_ASN1_*, or the output's error) on failure.
BOOL UpdateSignedMessage(SignedMessage* message, const BYTE* data, DWORD length, BOOL final);
void CloseSignedMessage(SignedMessage* message);

// The signed-file path: reads `length` bytes (the SignedData after the outer ContentInfo header)
// from the file, streams the content to the output (or none) and verifies. 0 after the content
// pass, 1 when the decoder could not be set up.
int ReadSignedFile(HANDLE file, uint64_t length, HANDLE output, IProgressDialog* progress, UnpackSettings* settings,
                   UnpackJob* job, UnpackView* view);

// Returns the number of verified signers; fills checks (one per SignerInfo).
DWORD VerifyMessageSigners(SignedMessage* message, HCERTSTORE store, std::vector<SignerCheck>& checks);
DWORD VerifyEnvelopeSigners(HCERTSTORE store, HCRYPTPROV keyProvider, const HCRYPTHASH* hashes, DWORD hashCount,
                            HCRYPTKEY sessionKey, const BYTE* certificates, DWORD certificatesLength,
                            const BYTE* signerInfos, DWORD signerInfosLength, std::vector<SignerCheck>& checks);

void CheckSignerChain(SignerCheck* check);

// The names and serial the lists show: from the certificate when there is one, else issuer and
// serial from info with an empty subject.
void SummarizeCertificate(const CERT_INFO* info, PCCERT_CONTEXT certificate, std::wstring& subject,
                          std::wstring& issuer, std::wstring& serial);
// One signer's record for a caller without windows; checks the chain.
SignerSummary SummarizeSigner(SignerCheck& check);

// Clears the signers list, adds one row per check and sets the job's signatureStatus from them;
// frees what the list did not take.
void ApplySignerChecks(UnpackJob* job, UnpackView* view, std::vector<SignerCheck>& checks, DWORD verifiedCount);

// A row in a recipients or signers list view; -1 when the list is absent or the name cannot be
// produced. With a certificate the list owns it once the row is added.
int AddCertificateRow(const CERT_INFO* info, PCCERT_CONTEXT certificate, HWND list, int image, UINT state,
                      UINT stateMask);
void ClearCertificateList(HWND list);
// Adds one signer's row (state image 1 not checked, 2 verified, 3 invalid); -1 without a list.
int AddSignerRow(SignerCheck* check, HWND list);
