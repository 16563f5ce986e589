#include "format/pkcs12.h"

#include <algorithm>
#include <cstring>

#include "format/algorithms.h"
#include "format/secret_bytes.h"

namespace pkcs12 {
namespace {

// OID values (without tag and length).
const uint8_t kOidData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const uint8_t kOidEncryptedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x06};
const uint8_t kOidKeyBag[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x01};
const uint8_t kOidShroudedKeyBag[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x02};
const uint8_t kOidCertBag[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x03};
const uint8_t kOidX509Certificate[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x16, 0x01};
const uint8_t kOidLocalKeyId[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x15};
const uint8_t kOidPbes2[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0D};
const uint8_t kOidPbkdf2[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0C};

struct OidValue {
    const uint8_t* bytes;
    size_t size;
};
template <size_t N>
constexpr OidValue Oid(const uint8_t (&bytes)[N]) {
    return {bytes, N};
}

bool Is(const der::Reader& value, OidValue oid) {
    return value.size() == oid.size && std::memcmp(value.data(), oid.bytes, oid.size) == 0;
}

const uint8_t kOidSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
const uint8_t kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t kOidSha384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const uint8_t kOidSha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
const uint8_t kOidHmacSha1[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x07};
const uint8_t kOidHmacSha256[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x09};
const uint8_t kOidHmacSha384[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x0A};
const uint8_t kOidHmacSha512[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x0B};

struct DigestRow {
    OidValue digestOid;  // as a MAC's DigestInfo names it
    OidValue hmacOid;    // as PBKDF2's prf names it
    Digest digest;
};
const DigestRow kDigests[] = {
    {Oid(kOidSha1), Oid(kOidHmacSha1), {alg::kSha1, 20, 64}},
    {Oid(kOidSha256), Oid(kOidHmacSha256), {alg::kSha256, 32, 64}},
    {Oid(kOidSha384), Oid(kOidHmacSha384), {alg::kSha384, 48, 128}},
    {Oid(kOidSha512), Oid(kOidHmacSha512), {alg::kSha512, 64, 128}},
};

const uint8_t kOidPbeSha3Des[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x03};
const uint8_t kOidPbeSha2Des[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x04};
const uint8_t kOidPbeShaRc2_128[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x05};
const uint8_t kOidPbeShaRc2_40[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x06};
const uint8_t kOidAes128Cbc[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
const uint8_t kOidAes192Cbc[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x16};
const uint8_t kOidAes256Cbc[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
const uint8_t kOidDesEde3Cbc[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};

struct CipherRow {
    OidValue oid;
    uint32_t cipher;
    size_t keySize;
    uint32_t rc2EffectiveBits;
    size_t ivSize;
};
// The PKCS#12 schemes: SHA-1 derives key and IV.
const CipherRow kPkcs12Schemes[] = {
    {Oid(kOidPbeSha3Des), alg::k3Des, 24, 0, 8},
    {Oid(kOidPbeSha2Des), k3Des112, 16, 0, 8},
    {Oid(kOidPbeShaRc2_128), alg::kRc2, 16, 128, 8},
    {Oid(kOidPbeShaRc2_40), alg::kRc2, 5, 40, 8},
};
// PBES2 encryption schemes: the IV is the parameter.
const CipherRow kPbes2Ciphers[] = {
    {Oid(kOidAes128Cbc), alg::kAes128, 16, 0, 16},
    {Oid(kOidAes192Cbc), alg::kAes192, 24, 0, 16},
    {Oid(kOidAes256Cbc), alg::kAes256, 32, 0, 16},
    {Oid(kOidDesEde3Cbc), alg::k3Des, 24, 0, 8},
};

template <size_t N, typename Row>
const Row* FindRow(const Row (&rows)[N], const der::Reader& oid) {
    for (const Row& row : rows)
        if (Is(oid, row.oid)) return &row;
    return nullptr;
}

// AlgorithmIdentifier: the OID and whatever follows it (empty, NULL or one element).
bool ReadAlgorithm(der::Reader& in, der::Reader& oid, der::Reader& parameters) {
    der::Reader algorithm;
    return in.ReadElement(der::kSequence, algorithm) && algorithm.ReadElement(der::kOid, oid) &&
           algorithm.ReadBytes(algorithm.size(), parameters);
}

bool IsAbsentOrNull(der::Reader parameters) {
    if (parameters.empty()) return true;
    der::Reader null;
    return parameters.ReadElement(der::kNull, null) && null.empty() && parameters.empty();
}

bool ReadIterations(der::Reader& in, uint32_t& iterations) {
    return in.ReadSmallInteger(iterations) && iterations >= 1 && iterations <= kMostIterations;
}

// ContentInfo: contentType and the [0] EXPLICIT content.
bool ReadContentInfo(der::Reader& in, der::Reader& type, der::Reader& content) {
    der::Reader info;
    return in.ReadElement(der::kSequence, info) && info.ReadElement(der::kOid, type) &&
           info.ReadElement(der::kContext0, content) && info.empty();
}

bool ReadDataContent(der::Reader content, der::Reader& data) {
    return content.ReadElement(der::kOctetString, data) && content.empty();
}

// [0] EXPLICIT around exactly one element of the given tag.
bool ReadExplicit(der::Reader& in, uint8_t tag, der::Reader& value) {
    der::Reader wrapper;
    return in.ReadElement(der::kContext0, wrapper) && wrapper.ReadElement(tag, value) && wrapper.empty();
}

bool ParsePkcs12Scheme(const CipherRow& row, der::Reader parameters, Encryption& encryption) {
    der::Reader params;
    if (!parameters.ReadElement(der::kSequence, params) || !parameters.empty()) return false;
    encryption.pbes2 = false;
    encryption.digest = kDigests[0].digest;
    encryption.cipher = row.cipher;
    encryption.keySize = row.keySize;
    encryption.rc2EffectiveBits = row.rc2EffectiveBits;
    encryption.iv = der::Reader();
    return params.ReadElement(der::kOctetString, encryption.salt) && ReadIterations(params, encryption.iterations) &&
           params.empty();
}

bool ParsePbkdf2(der::Reader parameters, Encryption& encryption, uint32_t& keyLength) {
    der::Reader params;
    if (!parameters.ReadElement(der::kSequence, params) || !parameters.empty()) return false;
    if (!params.ReadElement(der::kOctetString, encryption.salt) || !ReadIterations(params, encryption.iterations))
        return false;
    keyLength = 0;
    uint8_t tag = 0;
    if (params.PeekTag(tag) && tag == der::kInteger && !params.ReadSmallInteger(keyLength)) return false;
    encryption.digest = kDigests[0].digest;  // hmacWithSHA1 when no prf is named
    if (params.empty()) return true;
    der::Reader prf, prfParameters;
    if (!ReadAlgorithm(params, prf, prfParameters) || !IsAbsentOrNull(prfParameters) || !params.empty()) return false;
    for (const DigestRow& row : kDigests) {
        if (Is(prf, row.hmacOid)) {
            encryption.digest = row.digest;
            return true;
        }
    }
    return false;
}

bool ParsePbes2(der::Reader parameters, Encryption& encryption) {
    der::Reader params, kdf, kdfParameters, scheme, iv;
    if (!parameters.ReadElement(der::kSequence, params) || !parameters.empty()) return false;
    if (!ReadAlgorithm(params, kdf, kdfParameters) || !Is(kdf, Oid(kOidPbkdf2))) return false;
    uint32_t keyLength = 0;
    if (!ParsePbkdf2(kdfParameters, encryption, keyLength)) return false;
    if (!ReadAlgorithm(params, scheme, iv) || !params.empty()) return false;
    const CipherRow* row = FindRow(kPbes2Ciphers, scheme);
    if (!row || (keyLength != 0 && keyLength != row->keySize)) return false;
    encryption.pbes2 = true;
    encryption.cipher = row->cipher;
    encryption.keySize = row->keySize;
    encryption.rc2EffectiveBits = 0;
    return iv.ReadElement(der::kOctetString, encryption.iv) && iv.empty() && encryption.iv.size() == row->ivSize;
}

// One SEQUENCE element, whole (tag and length included), as the parsers of a whole element take it.
bool ReadWholeSequence(der::Reader& in, der::Reader& whole) {
    uint8_t tag = 0;
    der::Reader content;
    return in.ReadAnyElement(tag, content, &whole) && tag == der::kSequence;
}

bool ReadLocalKeyId(der::Reader attributes, der::Reader& localKeyId) {
    while (!attributes.empty()) {
        der::Reader attribute, type, values;
        if (!attributes.ReadElement(der::kSequence, attribute) || !attribute.ReadElement(der::kOid, type) ||
            !attribute.ReadElement(der::kSet, values) || !attribute.empty())
            return false;
        if (Is(type, Oid(kOidLocalKeyId)) && (!values.ReadElement(der::kOctetString, localKeyId) || !values.empty()))
            return false;
    }
    return true;
}

bool ReadCertificateBag(der::Reader value, der::Reader& certificate, bool& isX509) {
    der::Reader bag, type;
    if (!value.ReadElement(der::kSequence, bag) || !value.empty() || !bag.ReadElement(der::kOid, type)) return false;
    isX509 = Is(type, Oid(kOidX509Certificate));
    if (!isX509) return true;  // SDSI certificates and the like: kept as "other"
    return ReadExplicit(bag, der::kOctetString, certificate) && bag.empty();
}

bool ReadBagValue(const der::Reader& type, der::Reader value, SafeBag& bag) {
    if (Is(type, Oid(kOidKeyBag))) {
        bag.type = BagType::kKey;
        return ReadWholeSequence(value, bag.privateKeyInfo) && value.empty();
    }
    if (Is(type, Oid(kOidShroudedKeyBag))) {
        bag.type = BagType::kShroudedKey;
        der::Reader info;
        return ReadWholeSequence(value, info) && value.empty() && ParseEncryptedPrivateKeyInfo(info, bag.shrouded);
    }
    if (Is(type, Oid(kOidCertBag))) {
        bool isX509 = false;
        if (!ReadCertificateBag(value, bag.certificate, isX509)) return false;
        bag.type = isX509 ? BagType::kCertificate : BagType::kOther;
        return true;
    }
    bag.type = BagType::kOther;
    return true;
}

bool ParseBag(der::Reader& in, SafeBag& bag) {
    der::Reader whole, type, value;
    if (!in.ReadElement(der::kSequence, whole) || !whole.ReadElement(der::kOid, type) ||
        !whole.ReadElement(der::kContext0, value) || !ReadBagValue(type, value, bag))
        return false;
    bool present = false;
    der::Reader attributes;
    return whole.ReadOptionalElement(der::kSet, attributes, present) && whole.empty() &&
           (!present || ReadLocalKeyId(attributes, bag.localKeyId));
}

bool ParseEncryptedData(der::Reader content, Sealed& sealed) {
    der::Reader data, info, type;
    uint32_t version = 0;
    if (!content.ReadElement(der::kSequence, data) || !content.empty() || !data.ReadSmallInteger(version) ||
        !data.ReadElement(der::kSequence, info) || !info.ReadElement(der::kOid, type) || !Is(type, Oid(kOidData)))
        return false;
    // Unprotected attributes ([1]) may follow the content info; they carry nothing needed here.
    der::Reader algorithm;
    return ReadWholeSequence(info, algorithm) && ParseEncryption(algorithm, sealed.encryption) &&
           info.ReadElement(der::kContext0Primitive, sealed.ciphertext) && info.empty();
}

void RepeatToBlocks(const uint8_t* data, size_t size, size_t block, std::vector<uint8_t>& out) {
    if (size == 0) return;
    size_t total = (size + block - 1) / block * block;
    for (size_t i = 0; i < total; ++i) out.push_back(data[i % size]);
}

// I_j = (I_j + B + 1) mod 2^(8v) for every v-byte block of I, where B is A repeated to v bytes.
void AddToBlocks(std::vector<uint8_t>& input, const std::vector<uint8_t>& a, size_t block) {
    for (size_t start = 0; start < input.size(); start += block) {
        unsigned carry = 1;
        for (size_t k = block; k-- > 0;) {
            unsigned sum = input[start + k] + a[k % a.size()] + carry;
            input[start + k] = static_cast<uint8_t>(sum);
            carry = sum >> 8;
        }
    }
}

void AppendUtf8(uint32_t code, std::vector<uint8_t>& out) {
    if (code < 0x80) {
        out.push_back(static_cast<uint8_t>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<uint8_t>(0xC0 | (code >> 6)));
        out.push_back(static_cast<uint8_t>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<uint8_t>(0xE0 | (code >> 12)));
        out.push_back(static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<uint8_t>(0xF0 | (code >> 18)));
        out.push_back(static_cast<uint8_t>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

bool ParseEncryption(der::Reader algorithm, Encryption& encryption) {
    der::Reader oid, parameters;
    if (!ReadAlgorithm(algorithm, oid, parameters) || !algorithm.empty()) return false;
    if (const CipherRow* row = FindRow(kPkcs12Schemes, oid)) return ParsePkcs12Scheme(*row, parameters, encryption);
    return Is(oid, Oid(kOidPbes2)) && ParsePbes2(parameters, encryption);
}

bool ParseEncryptedPrivateKeyInfo(der::Reader info, Sealed& sealed) {
    der::Reader content;
    if (!info.ReadElement(der::kSequence, content) || !info.empty()) return false;
    der::Reader algorithm;
    return ReadWholeSequence(content, algorithm) && ParseEncryption(algorithm, sealed.encryption) && content.ReadElement(der::kOctetString, sealed.ciphertext) &&
           content.empty();
}

bool ParsePfx(der::Reader file, Pfx& pfx) {
    der::Reader body, type, content;
    uint32_t version = 0;
    if (!file.ReadElement(der::kSequence, body) || !file.empty() || !body.ReadSmallInteger(version) || version != 3 ||
        !ReadContentInfo(body, type, content) || !Is(type, Oid(kOidData)) || !ReadDataContent(content, pfx.authSafe))
        return false;
    pfx.hasMac = !body.empty();
    if (!pfx.hasMac) return true;
    der::Reader macData, digestInfo, digestOid, digestParameters;
    if (!body.ReadElement(der::kSequence, macData) || !body.empty() ||
        !macData.ReadElement(der::kSequence, digestInfo) || !ReadAlgorithm(digestInfo, digestOid, digestParameters) ||
        !IsAbsentOrNull(digestParameters) || !digestInfo.ReadElement(der::kOctetString, pfx.mac.value) ||
        !digestInfo.empty() || !macData.ReadElement(der::kOctetString, pfx.mac.salt))
        return false;
    pfx.mac.iterations = 1;
    if (!macData.empty() && !ReadIterations(macData, pfx.mac.iterations)) return false;
    if (!macData.empty()) return false;
    for (const DigestRow& row : kDigests) {
        if (Is(digestOid, row.digestOid)) {
            pfx.mac.digest = row.digest;
            return pfx.mac.value.size() == row.digest.outputSize;
        }
    }
    return false;
}

bool ParseAuthenticatedSafe(der::Reader authSafe, std::vector<SafePart>& parts) {
    der::Reader list;
    if (!authSafe.ReadElement(der::kSequence, list) || !authSafe.empty()) return false;
    while (!list.empty()) {
        der::Reader type, content;
        if (!ReadContentInfo(list, type, content)) return false;
        SafePart part;
        if (Is(type, Oid(kOidData))) {
            if (!ReadDataContent(content, part.contents)) return false;
        } else if (Is(type, Oid(kOidEncryptedData))) {
            part.encrypted = true;
            if (!ParseEncryptedData(content, part.sealed)) return false;
        } else {
            return false;  // enveloped (public-key) privacy is not supported
        }
        parts.push_back(part);
    }
    return true;
}

bool ParseSafeContents(der::Reader contents, std::vector<SafeBag>& bags) {
    der::Reader list;
    if (!contents.ReadElement(der::kSequence, list) || !contents.empty()) return false;
    while (!list.empty()) {
        SafeBag bag;
        if (!ParseBag(list, bag)) return false;
        bags.push_back(bag);
    }
    return true;
}

std::vector<uint8_t> BmpPassword(const std::u16string& password) {
    std::vector<uint8_t> out;
    out.reserve(password.size() * 2 + 2);
    for (char16_t unit : password) {
        out.push_back(static_cast<uint8_t>(unit >> 8));
        out.push_back(static_cast<uint8_t>(unit));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::vector<uint8_t> Utf8Password(const std::u16string& password) {
    std::vector<uint8_t> out;
    out.reserve(password.size() * 3);
    for (size_t i = 0; i < password.size(); ++i) {
        uint32_t unit = password[i];
        bool high = unit >= 0xD800 && unit < 0xDC00;
        bool lowNext = i + 1 < password.size() && password[i + 1] >= 0xDC00 && password[i + 1] < 0xE000;
        if (high && lowNext) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (password[++i] - 0xDC00), out);
        } else if (unit >= 0xD800 && unit < 0xE000) {
            AppendUtf8(0xFFFD, out);  // a lone surrogate has no UTF-8 form
        } else {
            AppendUtf8(unit, out);
        }
    }
    return out;
}

bool Pkcs12Derive(const Digest& digest, const HashFunction& hash, uint8_t id, const std::vector<uint8_t>& bmpPassword,
                  der::Reader salt, uint32_t iterations, size_t size, std::vector<uint8_t>& out) {
    const size_t v = digest.blockSize;
    if (v == 0 || digest.outputSize == 0 || iterations == 0) return false;
    SecretBytes input;  // D || I, I = S || P, each repeated to whole blocks
    input.bytes().reserve(v + (salt.size() / v + 1) * v + (bmpPassword.size() / v + 1) * v);
    input.bytes().assign(v, id);
    RepeatToBlocks(salt.data(), salt.size(), v, input.bytes());
    RepeatToBlocks(bmpPassword.data(), bmpPassword.size(), v, input.bytes());
    SecretBytes a, i;
    i.bytes().assign(input.bytes().begin() + v, input.bytes().end());
    out.clear();
    out.reserve(size);
    while (out.size() < size) {
        if (!hash(input.bytes().data(), input.bytes().size(), a.bytes())) return false;
        for (uint32_t round = 1; round < iterations; ++round) {
            SecretBytes previous;
            previous.bytes().swap(a.bytes());
            if (!hash(previous.bytes().data(), previous.bytes().size(), a.bytes())) return false;
        }
        if (a.bytes().size() != digest.outputSize) return false;
        size_t take = std::min(size - out.size(), a.bytes().size());
        out.insert(out.end(), a.bytes().begin(), a.bytes().begin() + take);
        if (out.size() == size) break;
        AddToBlocks(i.bytes(), a.bytes(), v);
        std::copy(i.bytes().begin(), i.bytes().end(), input.bytes().begin() + v);
    }
    return true;
}

bool Pbkdf2(const PrfFunction& prf, size_t outputSize, der::Reader salt, uint32_t iterations, size_t size,
            std::vector<uint8_t>& out) {
    if (outputSize == 0 || iterations == 0) return false;
    out.clear();
    out.reserve(size);
    for (uint32_t index = 1; out.size() < size; ++index) {
        SecretBytes u, t, next;
        std::vector<uint8_t> first(salt.data(), salt.data() + salt.size());
        for (int shift = 24; shift >= 0; shift -= 8) first.push_back(static_cast<uint8_t>(index >> shift));
        if (!prf(first.data(), first.size(), u.bytes()) || u.bytes().size() != outputSize) return false;
        t.bytes() = u.bytes();
        for (uint32_t round = 1; round < iterations; ++round) {
            if (!prf(u.bytes().data(), u.bytes().size(), next.bytes()) || next.bytes().size() != outputSize)
                return false;
            u.bytes().swap(next.bytes());
            for (size_t k = 0; k < outputSize; ++k) t.bytes()[k] ^= u.bytes()[k];
        }
        size_t take = std::min(size - out.size(), outputSize);
        out.insert(out.end(), t.bytes().begin(), t.bytes().begin() + take);
    }
    return true;
}

}  // namespace pkcs12
