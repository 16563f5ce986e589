// GHASH: the carry-less multiply and the tables give the same S for any hash key, text, data and
// split of the text into pieces. Input: 16 bytes of H, a piece size byte, a data length byte, then
// the data and the text.
#include <cstring>

#include "format/gcm.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using Method = gcm::Authenticator::Method;

void Ghash(Method method, const uint8_t* h, const uint8_t* text, size_t textSize, size_t piece, const uint8_t* aad,
           size_t aadSize, uint8_t s[gcm::kBlock]) {
    gcm::Authenticator ghash(h, method);
    for (size_t done = 0; done < textSize; done += piece)
        ghash.AbsorbText(text + done, piece < textSize - done ? piece : textSize - done);
    FUZZ_CHECK(ghash.TextBytes() == textSize);
    ghash.Finish(aad, aadSize, s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < gcm::kBlock + 2) return 0;
    const uint8_t* h = data;
    size_t piece = 1 + data[gcm::kBlock];
    size_t aadSize = data[gcm::kBlock + 1];
    data += gcm::kBlock + 2;
    size -= gcm::kBlock + 2;
    if (aadSize > size) aadSize = size;
    const uint8_t* text = data + aadSize;
    size_t textSize = size - aadSize;

    uint8_t whole[gcm::kBlock], pieces[gcm::kBlock];
    Ghash(Method::kTables, h, text, textSize, textSize + 1, data, aadSize, whole);
    Ghash(Method::kTables, h, text, textSize, piece, data, aadSize, pieces);
    FUZZ_CHECK(std::memcmp(whole, pieces, gcm::kBlock) == 0);
    if (gcm::Authenticator::CarrylessAvailable()) {
        for (size_t split : {textSize + 1, piece}) {
            Ghash(Method::kCarryless, h, text, textSize, split, data, aadSize, pieces);
            FUZZ_CHECK(std::memcmp(whole, pieces, gcm::kBlock) == 0);
        }
    }
    return 0;
}
