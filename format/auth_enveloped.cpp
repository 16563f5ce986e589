#include "format/auth_enveloped.h"

#include <cstring>

#include "format/algorithms.h"

namespace auth_enveloped {

const uint8_t kOidAuthEnvelopedData[11] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x17};

namespace {

constexpr uint8_t kOriginatorTag = 0xA0, kAuthAttributesTag = 0xA1, kUnauthAttributesTag = 0xA2;

// Only the tag and length of an element whose content runs on past what is read here.
bool ReadOuterHeader(der::Reader& input, uint8_t tag, bool& open, uint64_t* length = nullptr) {
    uint8_t actual = 0;
    if (!input.ReadByte(actual) || actual != tag) return false;
    der::ParsedLength parsed = der::ParseDerLength(input.data(), input.size());
    // Over-long length forms read as one byte with no value; they are refused like a missing one.
    if (parsed.used == 0 || (input.data()[0] > 0x80 && parsed.used == 1)) return false;
    open = parsed.open;
    if (length) *length = parsed.value;
    return input.Skip(parsed.used);
}

bool ReadEndMark(der::Reader& input) {
    uint8_t a = 1, b = 1;
    return input.ReadByte(a) && input.ReadByte(b) && a == 0 && b == 0;
}

Status ReadContentAlgorithm(der::Reader& fields, Header& header) {
    der::Reader algorithm, oid;
    if (!fields.ReadElement(der::kSequence, algorithm) || !algorithm.ReadElement(der::kOid, oid))
        return Status::kMalformed;
    header.contentAlgorithm = GcmAlgorithmFromOid(oid.data(), oid.size());
    if (!header.contentAlgorithm) return Status::kUnsupported;
    return ReadGcmParameters(algorithm.data(), algorithm.size(), header.gcm);
}

}  // namespace

uint32_t GcmAlgorithmFromOid(const uint8_t* value, size_t length) {
    static const uint8_t prefix[8] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01};
    if (length != 9 || std::memcmp(value, prefix, 8) != 0) return 0;
    switch (value[8]) {
    case 6: return alg::kAes128;
    case 26: return alg::kAes192;
    case 46: return alg::kAes256;
    default: return 0;
    }
}

Status ReadGcmParameters(const uint8_t* data, size_t size, GcmParameters& out) {
    der::Reader input(data, size), sequence, nonce;
    GcmParameters result;
    if (!input.ReadElement(der::kSequence, sequence) || !input.empty() ||
        !sequence.ReadElement(der::kOctetString, nonce))
        return Status::kMalformed;
    uint8_t tag = 0;
    if (sequence.PeekTag(tag) && !sequence.ReadSmallInteger(result.tagSize)) return Status::kMalformed;
    if (!sequence.empty() || result.tagSize < kMinTagSize || result.tagSize > kMaxTagSize) return Status::kMalformed;
    if (nonce.size() != kNonceSize) return Status::kUnsupported;
    std::memcpy(result.nonce, nonce.data(), kNonceSize);
    out = result;
    return Status::kOk;
}

uint32_t Header::EndMarksBeforeTrailer() const { return (openContentLength ? 1 : 0) + (openLengths[3] ? 1 : 0); }

uint32_t Header::EndMarksAfterTrailer() const {
    return (openLengths[0] ? 1 : 0) + (openLengths[1] ? 1 : 0) + (openLengths[2] ? 1 : 0);
}

bool IsAuthEnvelopedData(const uint8_t* data, size_t size) {
    der::Reader input(data, size), oid;
    bool open = false;
    return ReadOuterHeader(input, der::kSequence, open) && input.ReadElement(der::kOid, oid) &&
           oid.size() == sizeof kOidAuthEnvelopedData &&
           std::memcmp(oid.data(), kOidAuthEnvelopedData, oid.size()) == 0;
}

Status ReadHeader(const uint8_t* data, size_t size, Header& out) {
    Header header;
    der::Reader input(data, size), oid, originator;
    bool hasOriginator = false;
    if (!ReadOuterHeader(input, der::kSequence, header.openLengths[0]) || !input.ReadElement(der::kOid, oid))
        return Status::kMalformed;
    if (oid.size() != sizeof kOidAuthEnvelopedData || std::memcmp(oid.data(), kOidAuthEnvelopedData, oid.size()) != 0)
        return Status::kUnsupported;
    if (!ReadOuterHeader(input, der::kContext0, header.openLengths[1]) ||
        !ReadOuterHeader(input, der::kSequence, header.openLengths[2]) || !input.ReadSmallInteger(header.version) ||
        !input.ReadOptionalElement(kOriginatorTag, originator, hasOriginator) ||
        !input.ReadElement(der::kSet, header.recipientInfos) ||
        !ReadOuterHeader(input, der::kSequence, header.openLengths[3]) ||
        !input.ReadElement(der::kOid, header.contentType) || header.contentType.empty())
        return Status::kMalformed;
    if (header.version != 0) return Status::kUnsupported;
    Status status = ReadContentAlgorithm(input, header);
    if (status != Status::kOk) return status;
    uint8_t tag = 0;
    if (!input.PeekTag(tag) || (tag != der::kContext0 && tag != der::kContext0Primitive)) return Status::kMalformed;
    header.constructedContent = tag == der::kContext0;
    header.contentTagOffset = static_cast<size_t>(input.data() - data);
    if (!ReadOuterHeader(input, tag, header.openContentLength, &header.contentLength)) return Status::kMalformed;
    // Only a constructed string may have an open length.
    if (header.openContentLength && !header.constructedContent) return Status::kMalformed;
    header.contentOffset = static_cast<size_t>(input.data() - data);
    out = header;
    return Status::kOk;
}

Status ReadTrailer(const uint8_t* data, size_t size, const Header& header, Trailer& out) {
    der::Reader input(data, size), attributes, unauthenticated;
    Trailer trailer;
    for (uint32_t i = 0; i < header.EndMarksBeforeTrailer(); ++i)
        if (!ReadEndMark(input)) return Status::kMalformed;
    uint8_t tag = 0;
    if (input.PeekTag(tag) && tag == kAuthAttributesTag &&
        (!input.ReadAnyElement(tag, attributes, &trailer.authAttributes) || attributes.empty()))
        return Status::kMalformed;
    bool hasUnauthenticated = false;
    if (!input.ReadElement(der::kOctetString, trailer.mac) || trailer.mac.size() != header.gcm.tagSize ||
        !input.ReadOptionalElement(kUnauthAttributesTag, unauthenticated, hasUnauthenticated))
        return Status::kMalformed;
    for (uint32_t i = 0; i < header.EndMarksAfterTrailer(); ++i)
        if (!ReadEndMark(input)) return Status::kMalformed;
    if (!input.empty()) return Status::kMalformed;
    out = trailer;
    return Status::kOk;
}

std::vector<uint8_t> ContentTypeElement() {
    std::vector<uint8_t> element;
    der::AppendElement(element, der::kOid, kOidAuthEnvelopedData, sizeof kOidAuthEnvelopedData);
    return element;
}

std::vector<uint8_t> GcmAlgorithmIdentifier(uint32_t algId, const uint8_t nonce[kNonceSize], uint32_t tagSize) {
    const uint8_t last = algId == alg::kAes128 ? 6 : algId == alg::kAes192 ? 26 : algId == alg::kAes256 ? 46 : 0;
    if (!last || tagSize < kMinTagSize || tagSize > kMaxTagSize) return {};
    const uint8_t oid[9] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, last};
    std::vector<uint8_t> parameters, content;
    der::AppendElement(parameters, der::kOctetString, nonce, kNonceSize);
    const uint8_t length[] = {static_cast<uint8_t>(tagSize)};
    der::AppendElement(parameters, der::kInteger, length, sizeof length);
    der::AppendElement(content, der::kOid, oid, sizeof oid);
    der::AppendElement(content, der::kSequence, parameters);
    std::vector<uint8_t> out;
    der::AppendElement(out, der::kSequence, content);
    return out;
}

std::vector<uint8_t> AuthenticatedData(const Trailer& trailer) {
    std::vector<uint8_t> aad(trailer.authAttributes.data(), trailer.authAttributes.data() + trailer.authAttributes.size());
    if (!aad.empty()) aad[0] = der::kSet;
    return aad;
}

}  // namespace auth_enveloped
