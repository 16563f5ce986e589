#include "format/recipient_names.h"

#include "format/algorithms.h"

namespace recipient_names {

std::string HashName(uint32_t algId) {
    switch (algId) {
    case alg::kSha1:
        return "SHA-1";
    case alg::kSha256:
        return "SHA-256";
    case alg::kSha384:
        return "SHA-384";
    case alg::kSha512:
        return "SHA-512";
    default:
        return std::string();
    }
}

std::string KeyTransportName(recipient_info::Kind kind, recipient_info::KeyTransport transport,
                             const rsa_padding::OaepParameters& oaep, const std::vector<uint8_t>& algorithmOid) {
    using recipient_info::Kind;
    using recipient_info::KeyTransport;
    switch (kind) {
    case Kind::kKeyTransport:
        if (transport == KeyTransport::kRsaPkcs1) return "RSA (PKCS #1 v1.5)";
        if (transport != KeyTransport::kRsaOaep) break;
        // The mask function's hash is named only where it differs from the message hash.
        if (oaep.mgf1Hash == oaep.hash) return "RSA-OAEP (" + HashName(oaep.hash) + ")";
        return "RSA-OAEP (" + HashName(oaep.hash) + ", MGF1 " + HashName(oaep.mgf1Hash) + ")";
    case Kind::kKeyAgreement:
        return "ECDH";
    case Kind::kOther:
        return std::string();
    default:
        break;
    }
    return algorithmOid.empty() ? std::string() : alg::OidToDottedString(algorithmOid.data(), algorithmOid.size());
}

std::string HexText(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace recipient_names
