#include "format/rsa_padding_params.h"

#include <cstring>

#include "format/algorithms.h"
#include "format/der.h"

namespace rsa_padding {

namespace {

constexpr uint8_t kContext0 = 0xA0, kContext1 = 0xA1, kContext2 = 0xA2, kContext3 = 0xA3;

const uint8_t kOidSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
const uint8_t kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t kOidSha384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const uint8_t kOidSha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
const uint8_t kOidMgf1[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x08};
const uint8_t kOidPSpecified[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x09};

template <size_t N>
bool IsOid(const der::Reader& value, const uint8_t (&oid)[N]) {
    return value.size() == N && std::memcmp(value.data(), oid, N) == 0;
}

// AlgorithmIdentifier content: the OID and what follows it.
bool SplitAlgorithm(der::Reader element, der::Reader& oid, der::Reader& parameters) {
    der::Reader content;
    if (!element.ReadElement(der::kSequence, content) || !element.empty()) return false;
    if (!content.ReadElement(der::kOid, oid) || oid.empty()) return false;
    parameters = content;
    return true;
}

uint32_t HashFromOid(const der::Reader& oid) {
    if (IsOid(oid, kOidSha1)) return alg::kSha1;
    if (IsOid(oid, kOidSha256)) return alg::kSha256;
    if (IsOid(oid, kOidSha384)) return alg::kSha384;
    if (IsOid(oid, kOidSha512)) return alg::kSha512;
    return 0;
}

// A hash inside an explicit tag: malformed bytes and unknown hashes are told apart.
Status ReadTaggedHash(der::Reader tagged, uint32_t& hash) {
    if (!ReadHashAlgorithm(tagged.data(), tagged.size(), hash)) return Status::kMalformed;
    return hash ? Status::kOk : Status::kUnsupported;
}

// MGF1 with its hash: AlgorithmIdentifier { mgf1, AlgorithmIdentifier of the hash }.
Status ReadMaskGeneration(der::Reader tagged, uint32_t& hash) {
    der::Reader oid, parameters;
    if (!SplitAlgorithm(tagged, oid, parameters)) return Status::kMalformed;
    if (!IsOid(oid, kOidMgf1)) return Status::kUnsupported;
    return ReadTaggedHash(parameters, hash);
}

// pSpecified with an empty OCTET STRING; any label is refused, as no platform call takes one here.
Status ReadLabelSource(der::Reader tagged) {
    der::Reader oid, parameters, label;
    if (!SplitAlgorithm(tagged, oid, parameters)) return Status::kMalformed;
    if (!parameters.ReadElement(der::kOctetString, label) || !parameters.empty()) return Status::kMalformed;
    return IsOid(oid, kOidPSpecified) && label.empty() ? Status::kOk : Status::kUnsupported;
}

// Reads the optional [tag] field when it stands next; absent leaves the default.
template <typename ReadField>
Status ReadOptionalField(der::Reader& sequence, uint8_t tag, ReadField&& read) {
    der::Reader field;
    bool present = false;
    if (!sequence.ReadOptionalElement(tag, field, present)) return Status::kMalformed;
    return present ? read(field) : Status::kOk;
}

Status ReadTaggedInteger(der::Reader tagged, uint32_t& value) {
    if (!tagged.ReadSmallInteger(value) || !tagged.empty()) return Status::kMalformed;
    return Status::kOk;
}

// Runs the field readers in order and stops at the first that does not succeed.
template <typename... Steps>
Status All(Steps&&... steps) {
    Status status = Status::kOk;
    ((status = status == Status::kOk ? steps() : status), ...);
    return status;
}

}  // namespace

bool ReadHashAlgorithm(const uint8_t* data, size_t size, uint32_t& algId) {
    der::Reader oid, parameters, null;
    if (!SplitAlgorithm(der::Reader(data, size), oid, parameters)) return false;
    // Peers write NULL parameters or none at all; both mean the same.
    if (!parameters.empty() && (!parameters.ReadElement(der::kNull, null) || !null.empty() || !parameters.empty()))
        return false;
    algId = HashFromOid(oid);
    return true;
}

Status ReadOaepParameters(const uint8_t* data, size_t size, OaepParameters& out) {
    OaepParameters result;
    result.hash = result.mgf1Hash = alg::kSha1;
    if (size > 0) {
        der::Reader input(data, size), sequence;
        if (!input.ReadElement(der::kSequence, sequence) || !input.empty()) return Status::kMalformed;
        Status status = All(
            [&] { return ReadOptionalField(sequence, kContext0, [&](der::Reader f) { return ReadTaggedHash(f, result.hash); }); },
            [&] { return ReadOptionalField(sequence, kContext1, [&](der::Reader f) { return ReadMaskGeneration(f, result.mgf1Hash); }); },
            [&] { return ReadOptionalField(sequence, kContext2, ReadLabelSource); },
            [&] { return sequence.empty() ? Status::kOk : Status::kMalformed; });
        if (status != Status::kOk) return status;
    }
    out = result;
    return Status::kOk;
}

Status ReadPssParameters(const uint8_t* data, size_t size, PssParameters& out) {
    PssParameters result;
    result.hash = result.mgf1Hash = alg::kSha1;
    result.saltLength = 20;
    uint32_t trailer = 1;
    der::Reader input(data, size), sequence;
    if (!input.ReadElement(der::kSequence, sequence) || !input.empty()) return Status::kMalformed;
    Status status = All(
        [&] { return ReadOptionalField(sequence, kContext0, [&](der::Reader f) { return ReadTaggedHash(f, result.hash); }); },
        [&] { return ReadOptionalField(sequence, kContext1, [&](der::Reader f) { return ReadMaskGeneration(f, result.mgf1Hash); }); },
        [&] { return ReadOptionalField(sequence, kContext2, [&](der::Reader f) { return ReadTaggedInteger(f, result.saltLength); }); },
        [&] { return ReadOptionalField(sequence, kContext3, [&](der::Reader f) { return ReadTaggedInteger(f, trailer); }); },
        [&] { return sequence.empty() ? Status::kOk : Status::kMalformed; },
        [&] { return trailer == 1 ? Status::kOk : Status::kUnsupported; });
    if (status != Status::kOk) return status;
    out = result;
    return Status::kOk;
}

}  // namespace rsa_padding
