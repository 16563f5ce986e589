#include "format/algorithms.h"

#include <cstring>

namespace alg {
namespace {

const uint8_t kOidRc2[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x02};
const uint8_t kOidRc4[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04};
const uint8_t kOidDes[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x07};
const uint8_t kOid3Des[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
const uint8_t kOidAes128[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
const uint8_t kOidAes192[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x16};
const uint8_t kOidAes256[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
const uint8_t kOidSha1[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
const uint8_t kOidMd5[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};

const AlgorithmRow kRows[] = {
    {kRc2, "1.2.840.113549.3.2", kOidRc2, sizeof kOidRc2, 750, 8},
    {kRc4, "1.2.840.113549.3.4", kOidRc4, sizeof kOidRc4, 751, 0},
    {kDes, "1.3.14.3.2.7", kOidDes, sizeof kOidDes, 752, 8},
    {k3Des, "1.2.840.113549.3.7", kOid3Des, sizeof kOid3Des, 753, 8},
    {kAes128, "2.16.840.1.101.3.4.1.2", kOidAes128, sizeof kOidAes128, 754, 16},
    {kAes192, "2.16.840.1.101.3.4.1.22", kOidAes192, sizeof kOidAes192, 755, 16},
    {kAes256, "2.16.840.1.101.3.4.1.42", kOidAes256, sizeof kOidAes256, 756, 16},
    {kSha1, "1.3.14.3.2.26", kOidSha1, sizeof kOidSha1, 757, 0},
    {kMd5, "1.2.840.113549.2.5", kOidMd5, sizeof kOidMd5, 758, 0},
};
constexpr size_t kContentRowCount = 7;

struct OidRow {
    uint8_t value[9];
    size_t length;
    uint32_t algId;
};

// The reader's rows, in the order they are tried.
const OidRow kReaderRows[] = {
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}, 8, kMd2},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x04}, 8, kMd4},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}, 8, kMd5},
    {{0x2B, 0x0E, 0x03, 0x02, 0x12}, 5, kSha1},
    {{0x2B, 0x0E, 0x03, 0x02, 0x1A}, 5, kSha1},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x02}, 8, kRc2},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04}, 8, kRc4},
    {{0x2B, 0x0E, 0x03, 0x02, 0x07}, 5, kDes},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07}, 8, k3Des},
};
const uint8_t kAesPrefix[8] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01};
// 2.16.840.1.101.3.4.2.x: SHA-256 (1), SHA-384 (2), SHA-512 (3).
const uint8_t kSha2Prefix[8] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};

}  // namespace

const AlgorithmRow* DisplayRows(size_t& count) {
    count = sizeof kRows / sizeof kRows[0];
    return kRows;
}

const AlgorithmRow* ContentEncryptionRow(uint32_t algId) {
    for (size_t i = 0; i < kContentRowCount; ++i)
        if (kRows[i].algId == algId) return &kRows[i];
    return nullptr;
}

bool IsContentEncryption(uint32_t algId) { return ContentEncryptionRow(algId) != nullptr; }

bool IsBlockCipher(uint32_t algId) { return IsContentEncryption(algId) && algId != kRc4; }

uint32_t DisplayStringId(uint32_t algId, const char* dottedOid) {
    for (const AlgorithmRow& row : kRows) {
        if (algId != 0 && row.algId == algId) return row.displayStringId;
        if (dottedOid && std::strcmp(dottedOid, row.dottedOid) == 0) return row.displayStringId;
    }
    return 0;
}

uint32_t AlgorithmFromOid(const uint8_t* value, size_t length) {
    if (!value) return 0;
    for (const OidRow& row : kReaderRows)
        if (length == row.length && std::memcmp(value, row.value, length) == 0) return row.algId;
    if (length == 9 && std::memcmp(value, kAesPrefix, 8) == 0) {
        if (value[8] == 0x16) return kAes192;
        if (value[8] == 0x2A) return kAes256;
        return kAes128;
    }
    return 0;
}

uint32_t DigestAlgorithmFromOid(const uint8_t* value, size_t length) {
    if (value && length == 9 && std::memcmp(value, kSha2Prefix, 8) == 0) {
        if (value[8] == 1) return kSha256;
        if (value[8] == 2) return kSha384;
        if (value[8] == 3) return kSha512;
    }
    uint32_t algId = AlgorithmFromOid(value, length);
    if (algId == kMd5 || algId == kMd4 || algId == kMd2) return algId;
    return kSha1;
}

std::string OidToDottedString(const uint8_t* value, size_t length) {
    std::string text;
    uint64_t sub = 0;
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        if (sub > (UINT64_MAX >> 7)) return std::string();
        sub = (sub << 7) | (value[i] & 0x7F);
        if (value[i] & 0x80) continue;
        if (first) {
            uint64_t top = sub < 80 ? sub / 40 : 2;
            text = std::to_string(top) + "." + std::to_string(sub - top * 40);
            first = false;
        } else {
            text += "." + std::to_string(sub);
        }
        sub = 0;
    }
    if (length > 0 && (value[length - 1] & 0x80)) return std::string();
    return text;
}

uint32_t Rc2VersionForBits(uint32_t bits) {
    switch (bits) {
    case 40: return 160;
    case 56: return 52;
    case 64: return 120;
    case 128: return 58;
    default: return 160;
    }
}

uint32_t Rc2BitsForVersion(uint32_t version) {
    switch (version) {
    case 52: return 56;
    case 58: return 128;
    case 120: return 64;
    case 160: return 40;
    default: return 0;
    }
}

std::vector<uint32_t> OfferedKeyLengths(uint32_t algId, uint32_t defaultLen, uint32_t minLen, uint32_t maxLen) {
    std::vector<uint32_t> lengths;
    if (algId == kRc2) {
        for (uint32_t bits : {40u, 56u, 64u, 128u}) {
            if (bits < minLen || bits > maxLen) break;
            lengths.push_back(bits);
        }
        return lengths;
    }
    if (minLen == 0) return {defaultLen};
    for (uint32_t bits = minLen; bits < defaultLen; bits *= 2) lengths.push_back(bits);
    for (uint32_t bits = defaultLen; bits < maxLen; bits *= 2) lengths.push_back(bits);
    lengths.push_back(maxLen);
    return lengths;
}

}  // namespace alg

namespace envelope_bytes {
const uint8_t kOidData[11] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const uint8_t kOidSignedData[11] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t kOidEnvelopedData[11] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
const uint8_t kOidSignedAndEnvelopedData[11] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x04};
const uint8_t kKeyTransportAlgorithm[15] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                            0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
const uint8_t kKeyTransportOaepAlgorithm[15] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                                0xF7, 0x0D, 0x01, 0x01, 0x07, 0x30, 0x00};
const uint8_t kDigestSetMd5[16] = {0x31, 0x0E, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86,
                                   0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00};
const uint8_t kDigestSetSha1[13] = {0x31, 0x0B, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
const uint8_t kPkcs7Prefix[8] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
const uint8_t kNullParameters[2] = {0x05, 0x00};
}  // namespace envelope_bytes
