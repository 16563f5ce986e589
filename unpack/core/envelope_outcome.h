// What reading an envelope reports, the same in the shared library's unpack job and in the
// self-decoding program's decode status. -1 / 0xFFFFFFFF mean "not set", 0 means success.
#pragma once
#include <windows.h>

namespace reader_core {

struct EnvelopeOutcome {
    LONG decompressStatus = -1;     // 0 ok; zlib code, -128 CRC-32, -129 size mismatch
    DWORD readError = 0xFFFFFFFF;   // opening/reading the packed file
    DWORD writeError = 0xFFFFFFFF;  // creating/writing the output
    DWORD jobResult = 0xFFFFFFFF;   // 0 success, else an HRESULT or system error; -1 never run
    LONG finalBlockStatus = -1;     // -1 last block never decrypted; 0 decrypted; else error
    LONG signatureStatus = -1;      // -1 not verified; 0 all verified; kSignatureNotSupported (signature_check.h)
                                    // when signers could not be checked; else first failing signer's error
    DWORD offset = 0;               // bytes of the envelope consumed
    DWORD outerContentType = 0;     // 2 signedData, 3 envelopedData, 4 signedAndEnvelopedData
};

}  // namespace reader_core
