// The reading rules of the streamed envelope. The first byte picks the rule, the algorithm and
// the content length; the bytes after it are the length, the parameters and the plaintext block.
#include <algorithm>
#include <cstring>

#include "format/algorithms.h"
#include "format/envelope_rules.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using envelope_rules::LengthRule;
using envelope_rules::Verdict;

// The rules agree with each other on one length: each is a plain condition on the same facts.
void CheckLengthRules(uint8_t control, const uint8_t* data, size_t size) {
    const der::ParsedLength length = der::ParseDerLength(data, size);
    const uint64_t bytesToEnd = uint64_t{control} * 7;
    auto verdict = [&](LengthRule rule) { return envelope_rules::CheckLength(length, rule, bytesToEnd); };
    // The reach in 128 bits: eight length bytes may state almost 2^64.
    const unsigned __int128 reach = static_cast<unsigned __int128>(1 + length.used) + length.value;
    FUZZ_CHECK(verdict(LengthRule::kAny) == Verdict::kOk);
    FUZZ_CHECK((verdict(LengthRule::kEndsAtEnd) == Verdict::kOk) == (length.open || reach == bytesToEnd));
    FUZZ_CHECK((verdict(LengthRule::kInsideEnd) == Verdict::kOk) == (reach <= bytesToEnd));
    if (!length.open && verdict(LengthRule::kEndsAtEnd) == Verdict::kOk)
        FUZZ_CHECK(verdict(LengthRule::kInsideEnd) == Verdict::kOk);
    if (verdict(LengthRule::kAtLeastOne) == Verdict::kOk) {
        FUZZ_CHECK(!length.open && length.value > 0);
        FUZZ_CHECK(verdict(LengthRule::kDefinite) == Verdict::kOk && verdict(LengthRule::kZeroOnlyShort) == Verdict::kOk);
    }
    FUZZ_CHECK((verdict(LengthRule::kZeroOnlyShort) == Verdict::kOk) ==
               (verdict(LengthRule::kContentLength) == Verdict::kOk));
    FUZZ_CHECK(verdict(LengthRule::kZeroOnlyShort) != Verdict::kBadEncode);
    FUZZ_CHECK(verdict(LengthRule::kContentLength) != Verdict::kUnexpected);
}

void CheckParameters(uint8_t control, const uint8_t* data, size_t size) {
    static const uint32_t kAlgorithms[] = {alg::kRc2, alg::kAes256, alg::kRc4, alg::k3Des};
    const uint32_t algId = kAlgorithms[control % 4];
    envelope_rules::ContentParameters read = envelope_rules::ReadContentParameters(algId, data, size);
    if (algId == alg::kRc2) {
        FUZZ_CHECK(read.iv.empty() || read.iv.size() == 8);
        FUZZ_CHECK(read.rc2Bits == 0 || read.rc2Bits == 40 || read.rc2Bits == 56 || read.rc2Bits == 64 ||
                   read.rc2Bits == 128);
        return;
    }
    FUZZ_CHECK(read.rc2Bits == 0);
    if (read.iv.empty()) return;
    // The IV is the content of the OCTET STRING the parameters start with.
    der::Reader reader(data, size), octets;
    FUZZ_CHECK(reader.ReadElement(der::kOctetString, octets) && octets.size() == read.iv.size());
    FUZZ_CHECK(std::equal(read.iv.begin(), read.iv.end(), octets.data()));
}

void CheckNestedType(uint8_t control, const uint8_t* data, size_t size) {
    const uint64_t contentLength = uint64_t{control} * 16;
    const uint8_t type = envelope_rules::NestedContentType(data, size, contentLength);
    if (type == envelope_rules::kPlainContent) return;
    const der::ParsedLength length = der::ParseDerLength(data + 1, size - 1);
    FUZZ_CHECK(data[0] == der::kSequence && length.used > 0 && length.used + 12 < size);
    FUZZ_CHECK(length.open || (length.value > 11 && static_cast<unsigned __int128>(length.value) + length.used + 1 <=
                                                               contentLength));
    FUZZ_CHECK(data[1 + length.used] == der::kOid && data[2 + length.used] == 9);
    FUZZ_CHECK(type == data[11 + length.used]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    CheckLengthRules(data[0], data + 1, size - 1);
    CheckParameters(data[0], data + 1, size - 1);
    CheckNestedType(data[0], data + 1, size - 1);
    return 0;
}
