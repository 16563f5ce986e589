// What one ReadEnvelope call holds while it works, shared by the reader's helper files.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <cstdint>
#include <vector>

#include "format/service/crypto_handles.h"
#include "unpack/unpack_job.h"
#include "unpack/unpack_settings.h"
#include "unpack/unpack_view.h"

struct ReaderState {
    IProgressDialog* progress = nullptr;
    UnpackSettings* settings = nullptr;
    UnpackJob* job = nullptr;
    UnpackView* view = nullptr;

    // Content-encryption algorithm and its parameters from the header.
    ALG_ID algId = 0;
    std::vector<uint8_t> algorithmOid;
    DWORD rc2Bits = 0;           // RC2 effective key bits, 0 when the envelope gives none
    std::vector<BYTE> iv;        // IV, or the salt for RC4; empty when none
    std::vector<BYTE> recipientInfos;
    std::vector<BYTE> digestAlgorithms;

    // The session key and the provider that holds it.
    HCRYPTKEY sessionKey = 0;
    HCRYPTPROV keyProvider = 0;
    bool keyProviderIsCopy = false;  // a temporary container in another provider
};

// Opens the output of mode 0: asks for another name when it cannot be created. False with
// jobResult and writeError set.
bool OpenReaderOutput(ReaderState& state, FileHandle& output);

// Lists every recipient entry and tries the keys until one gives the session key.
void ScanRecipients(ReaderState& state);
