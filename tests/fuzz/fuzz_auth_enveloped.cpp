// An AuthEnvelopedData file: the header, then the trailer after a content of the length the
// header states (or, for open lengths, after the first byte of the rest picked as its length).
#include "format/algorithms.h"
#include "format/auth_enveloped.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auth_enveloped::Header header;
    const bool recognised = auth_enveloped::IsAuthEnvelopedData(data, size);
    if (auth_enveloped::ReadHeader(data, size, header) != auth_enveloped::Status::kOk) return 0;
    FUZZ_CHECK(recognised);
    FUZZ_CHECK(header.contentOffset <= size && header.contentTagOffset < header.contentOffset);
    FUZZ_CHECK(data[header.contentTagOffset] == der::kContext0 || data[header.contentTagOffset] == der::kContext0Primitive);
    FUZZ_CHECK(fuzz::Inside(header.recipientInfos, data, header.contentOffset));
    FUZZ_CHECK(fuzz::Inside(header.contentType, data, header.contentOffset));
    FUZZ_CHECK(header.contentAlgorithm == alg::kAes128 || header.contentAlgorithm == alg::kAes192 ||
               header.contentAlgorithm == alg::kAes256);
    FUZZ_CHECK(header.gcm.tagSize >= auth_enveloped::kMinTagSize && header.gcm.tagSize <= auth_enveloped::kMaxTagSize);
    FUZZ_CHECK(!header.openContentLength || header.constructedContent);
    size_t rest = size - header.contentOffset;
    size_t content = header.openContentLength ? (rest ? data[header.contentOffset] : 0) : header.contentLength;
    if (content > rest) return 0;
    const uint8_t* trailerStart = data + header.contentOffset + content;
    const size_t trailerSize = rest - content;
    auth_enveloped::Trailer trailer;
    if (auth_enveloped::ReadTrailer(trailerStart, trailerSize, header, trailer) != auth_enveloped::Status::kOk) return 0;
    FUZZ_CHECK(trailer.mac.size() == header.gcm.tagSize && fuzz::Inside(trailer.mac, trailerStart, trailerSize));
    FUZZ_CHECK(fuzz::Inside(trailer.authAttributes, trailerStart, trailerSize));
    std::vector<uint8_t> aad = auth_enveloped::AuthenticatedData(trailer);
    FUZZ_CHECK(aad.size() == trailer.authAttributes.size() && (aad.empty() || aad[0] == der::kSet));
    return 0;
}
