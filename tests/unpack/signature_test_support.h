// Helpers of the signature tests: OpenSSL-made signed files from the test data, decoding them
// through our signed-data decoder, stores of test certificates, and a hidden signers list.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "unpack/signature_verify.h"

namespace signature_test {

using Bytes = std::vector<uint8_t>;

// Collects what the decoder streams out; can refuse after a number of bytes.
struct Output {
    Bytes bytes;
    int finalCalls = 0;
    size_t bytesAtFinal = 0;  // bytes seen when the final call came
    size_t refuseAfter = SIZE_MAX;
};
BOOL WINAPI CollectOutput(const void* arg, BYTE* data, DWORD length, BOOL final);

// Size of the outer ContentInfo header (30 L, OID, A0 L) in front of the SignedData.
size_t OuterHeaderSize(const Bytes& file);

// Feeds bytes to a new decoder in pieces; the last piece is final. The result of the updates is
// in ok (with the last error in error); the message stays open for verification.
struct Decoded {
    SignedMessage* message = nullptr;
    bool ok = false;
    DWORD error = 0;
    Output output;
    Decoded() = default;
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    ~Decoded() { CloseSignedMessage(message); }
};
void Decode(Decoded& decoded, const Bytes& input, bool withContentInfo, size_t piece);

// A memory store holding the named test certificates (NAME.cer).
StoreHandle StoreWith(std::initializer_list<const wchar_t*> names);

// Subject common name of a certificate ("" without one).
std::wstring CommonName(PCCERT_CONTEXT certificate);

// Offset of the first occurrence of needle in haystack, or SIZE_MAX.
size_t Find(const Bytes& haystack, const Bytes& needle);

// A hidden top-level window holding a report-style SysListView32 with the signers list's four
// columns and small and state image lists.
class HiddenList {
public:
    HiddenList();
    ~HiddenList();
    HiddenList(const HiddenList&) = delete;
    HiddenList& operator=(const HiddenList&) = delete;
    HWND list() const { return list_; }
    int Count() const;
    std::wstring Text(int row, int column) const;
    UINT StateImage(int row) const;  // 1 not checked, 2 verified, 3 invalid
    int SmallImage(int row) const;
    bool Cut(int row) const;
    PCCERT_CONTEXT Certificate(int row) const;

private:
    HWND window_ = nullptr;
    HWND list_ = nullptr;
};

}  // namespace signature_test
