// The gzip member header and trailer: a header that parses parses the same from its own bytes,
// and one cut short asks for more rather than being refused.
#include <algorithm>

#include "format/gzip_header.h"
#include "format/gzip_member.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckHeader(const uint8_t* data, size_t size) {
    size_t used = 0;
    gzip_header::HeaderResult result = gzip_header::ParseHeader(data, size, used);
    if (result != gzip_header::HeaderResult::kComplete) {
        FUZZ_CHECK(used == 0);
        if (result == gzip_header::HeaderResult::kNeedMore && size > 0) {
            size_t shorter = 0;
            FUZZ_CHECK(gzip_header::ParseHeader(data, size - 1, shorter) == gzip_header::HeaderResult::kNeedMore);
        }
        return;
    }
    FUZZ_CHECK(used >= 10 && used <= size);
    FUZZ_CHECK(data[0] == 0x1F && data[1] == 0x8B && data[2] == 8 && data[3] < 0x20);
    size_t again = 0;
    FUZZ_CHECK(gzip_header::ParseHeader(data, used, again) == gzip_header::HeaderResult::kComplete && again == used);
    FUZZ_CHECK(gzip_header::ParseHeader(data, used - 1, again) == gzip_header::HeaderResult::kNeedMore);
}

void CheckTrailer(const uint8_t* data, size_t size) {
    if (size < gzip::kTrailerSize) return;
    const uint8_t* last = data + size - gzip::kTrailerSize;
    gzip::Trailer trailer = gzip::DecodeTrailer(last);
    FUZZ_CHECK(trailer.crc == gzip_header::ReadLittleEndian32(last));
    FUZZ_CHECK(trailer.size == gzip_header::ReadLittleEndian32(last + 4));
    uint8_t encoded[gzip::kTrailerSize];
    gzip::EncodeTrailer(trailer.crc, trailer.size, encoded);
    FUZZ_CHECK(std::equal(encoded, encoded + gzip::kTrailerSize, last));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckHeader(data, size);
    CheckTrailer(data, size);
    return 0;
}
