// How quill unpack and quill info judge and describe one packed file's outcome.
#pragma once
#include <windows.h>

#include <string>

#include "unpack/unpack_job.h"
#include "unpack/unpack_view.h"

// Whether the job did everything its kind asks for: read, (mode 0) written, decrypted to the last
// block when encrypted, decompressed when compressed, every signature verified when signed. A
// described job (mode 2) only has to be read and understood.
// A signature that could not be checked (its algorithm is not supported) does not fail the job: the
// content is sound and kept; SignatureNotChecked tells the caller so.
bool UnpackJobSucceeded(const UnpackJob& job);
// The job is signed and a signer's algorithm could not be checked here.
bool SignatureNotChecked(const UnpackJob& job);

// "valid", "not checked", "cannot be verified: algorithm not supported (not checked)" or
// "invalid: reason (0x........)".
std::wstring SignatureStatusText(LONG status);
// "in order", "outside its validity period" or "not trusted (0x........)".
std::wstring SignerChainText(DWORD chainStatus);

// Why the recipients of a file cannot be opened here (RecipientRefusal), in English; empty for none.
std::wstring RecipientRefusalReason(BYTE refusal, ALG_ID hash);

// One line per signer and recipient as the front end prints them.
std::wstring SignerLine(const SignerSummary& signer);
std::wstring RecipientLine(const RecipientSummary& recipient);
