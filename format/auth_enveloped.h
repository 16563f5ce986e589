// AuthEnvelopedData (RFC 5083) with AES-GCM (RFC 5084): the GCM parameters, the header in front
// of the ciphertext and the authenticated attributes and MAC behind it. The ciphertext itself is
// streamed by the reader and never passes through here.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/der.h"

namespace auth_enveloped {

constexpr size_t kNonceSize = 12;
constexpr uint32_t kMinTagSize = 12, kMaxTagSize = 16;

// Content type value 1.2.840.113549.1.9.16.1.23.
extern const uint8_t kOidAuthEnvelopedData[11];

// The AES-GCM content-encryption OIDs: alg::kAes128/192/256 for their value bytes, else 0.
uint32_t GcmAlgorithmFromOid(const uint8_t* value, size_t length);

enum class Status {
    kOk,
    kMalformed,    // not this structure, or a length that does not fit
    kUnsupported,  // well formed, but a version, cipher or nonce length this system does not take
};

struct GcmParameters {
    uint8_t nonce[kNonceSize] = {};
    uint32_t tagSize = 12;  // aes-ICVlen, 12 when left out
};

// GCMParameters ::= SEQUENCE { aes-nonce OCTET STRING, aes-ICVlen INTEGER DEFAULT 12 }; the
// whole input must be used. A nonce of another length than 12 bytes is unsupported.
Status ReadGcmParameters(const uint8_t* data, size_t size, GcmParameters& out);

struct Header {
    bool openLengths[4] = {};        // ContentInfo, [0], AuthEnvelopedData, EncryptedContentInfo
    uint32_t version = 0;            // 0
    der::Reader recipientInfos;      // SET content
    der::Reader contentType;         // OID value of the encrypted content's type
    uint32_t contentAlgorithm = 0;   // alg::kAes128/192/256, used in GCM mode
    GcmParameters gcm;
    bool constructedContent = false; // A0: OCTET STRING pieces follow; 80: the ciphertext itself
    bool openContentLength = false;  // A0 80
    uint64_t contentLength = 0;      // the [0] element's length when definite
    size_t contentTagOffset = 0;     // offset of the [0] tag of the content
    size_t contentOffset = 0;        // offset of the first byte after the [0] tag and length
    // End-of-contents pairs the reader meets after the content and before the trailer (an open
    // [0] and EncryptedContentInfo), and after the trailer (the three outer open lengths).
    uint32_t EndMarksBeforeTrailer() const;
    uint32_t EndMarksAfterTrailer() const;
};

// Whether the data starts a ContentInfo of type authEnvelopedData: the outer SEQUENCE's tag and
// length and the content type OID must be there.
bool IsAuthEnvelopedData(const uint8_t* data, size_t size);

// Reads the header from the first byte of a file: ContentInfo, authEnvelopedData, [0],
// AuthEnvelopedData { version, [0] originatorInfo (skipped), recipientInfos,
// EncryptedContentInfo { contentType, AlgorithmIdentifier, [0] tag and length } }. The data must
// hold at least everything up to the content; the outer lengths are read but not bounded here.
Status ReadHeader(const uint8_t* data, size_t size, Header& out);

struct Trailer {
    der::Reader authAttributes;  // the whole [1] element, empty when there is none
    der::Reader mac;             // OCTET STRING content
};

// Reads what follows the content to the end of the file: the end marks before the trailer,
// [1] authAttrs (optional), mac, [2] unauthAttrs (optional), the end marks after it. The MAC
// must be tagSize bytes long.
Status ReadTrailer(const uint8_t* data, size_t size, const Header& header, Trailer& out);

// What the writer puts in front of and behind the ciphertext.
constexpr uint32_t kWrittenTagSize = 16;
constexpr size_t kMacElementSize = 2 + kWrittenTagSize;  // 04 10 tag
// The content type element (06 0B ...) of an AuthEnvelopedData ContentInfo.
std::vector<uint8_t> ContentTypeElement();
// AlgorithmIdentifier { aes-GCM OID of the key size, GCMParameters { nonce, tag length } }; empty
// for another algorithm. The tag length is written even when it is the default 12.
std::vector<uint8_t> GcmAlgorithmIdentifier(uint32_t algId, const uint8_t nonce[kNonceSize], uint32_t tagSize);

// The additional authenticated data of the tag: the DER of the authenticated attributes with the
// SET OF tag in place of the [1] (RFC 5083); empty without attributes.
std::vector<uint8_t> AuthenticatedData(const Trailer& trailer);

}  // namespace auth_enveloped
