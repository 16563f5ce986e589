#include "format/service/encoding.h"

#include <cstring>

#include "format/der.h"
#include "format/rc2_params.h"

bool EncodeObject(LPCSTR structType, const void* value, std::vector<BYTE>& out) {
    DWORD size = 0;
    if (!CryptEncodeObject(kMessageEncoding, structType, value, nullptr, &size)) return false;
    out.resize(size);
    if (!CryptEncodeObject(kMessageEncoding, structType, value, out.data(), &size)) return false;
    out.resize(size);
    return true;
}

bool DecodeObject(LPCSTR structType, const BYTE* data, DWORD size, DWORD flags, std::vector<uint64_t>& out) {
    DWORD needed = 0;
    if (!CryptDecodeObject(kMessageEncoding, structType, data, size, flags, nullptr, &needed)) return false;
    out.assign((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t) + 1, 0);
    needed = static_cast<DWORD>(out.size() * sizeof(uint64_t));
    return CryptDecodeObject(kMessageEncoding, structType, data, size, flags, out.data(), &needed) != FALSE;
}

bool EncodeRc2Parameters(DWORD version, const BYTE* iv, DWORD ivLength, std::vector<BYTE>& out) {
    CRYPT_RC2_CBC_PARAMETERS params = {};
    params.dwVersion = version;
    params.fIV = iv != nullptr && ivLength > 0;
    if (params.fIV) std::memcpy(params.rgbIV, iv, ivLength < 8 ? ivLength : 8);
    if (EncodeObject(PKCS_RC2_CBC_PARAMETERS, &params, out)) return true;
    // Some platforms (Wine) cannot encode this structure; the DER is small enough to write here.
    out = rc2::EncodeParameters(version, params.fIV ? params.rgbIV : nullptr, params.fIV ? 8 : 0);
    return true;
}

bool DecodeRc2Parameters(const BYTE* data, DWORD size, DWORD& version, bool& hasIv, BYTE iv[8]) {
    rc2::Parameters params;
    if (!rc2::DecodeParameters(data, size, params)) return false;
    version = params.version;
    hasIv = params.hasIv;
    std::memcpy(iv, params.iv, 8);
    return true;
}

void AppendIntegerFromLittleEndian(std::vector<BYTE>& out, const BYTE* littleEndian, DWORD length) {
    std::vector<BYTE> bigEndian(littleEndian, littleEndian + length);
    std::vector<BYTE> reversed(bigEndian.rbegin(), bigEndian.rend());
    der::AppendElement(out, der::kInteger, reversed);
}

std::vector<BYTE> BuildSimpleBlob(ALG_ID algId, const BYTE* encryptedKey, DWORD length) {
    std::vector<BYTE> blob(12 + length);
    blob[0] = SIMPLEBLOB;
    blob[1] = CUR_BLOB_VERSION;
    const ALG_ID wrapping = CALG_RSA_KEYX;
    std::memcpy(&blob[4], &algId, 4);
    std::memcpy(&blob[8], &wrapping, 4);
    for (DWORD i = 0; i < length; ++i) blob[12 + i] = encryptedKey[length - 1 - i];
    return blob;
}
