// Structure bytes of the envelopes the packer writes: the header in front of the content, the
// recipientInfos block and the signer trailer's framing. Every definite length is derived here
// from the sizes of the inner parts, so the writer never adds lengths by hand.
// No platform types: this builds natively too.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace envelope {

enum class Kind {
    kEnveloped,              // envelopedData, plaintext encrypted
    kSignedAndEnveloped,     // signedAndEnvelopedData
    kSignedInsideEnveloped,  // envelopedData whose plaintext is a signed ContentInfo
    kSigned,                 // signedData, content in clear
};

// Everything the header of an envelope depends on.
struct HeaderInput {
    Kind kind = Kind::kEnveloped;
    bool openForm = false;  // self-decoding form: open lengths and a 4-byte content length
    std::vector<uint8_t> recipientInfos;       // the block 02 01 v 31 L ... (enveloped kinds)
    std::vector<uint8_t> algorithmIdentifier;  // 30 L OID parameters (enveloped kinds)
    std::vector<uint8_t> digestSet;            // 31 L ... (kinds with signers), else empty
    uint64_t contentLength = 0;  // ciphertext length (enveloped kinds) or content length (signed)
    uint64_t trailerLength = 0;  // certificates block + signerInfos block; 0 without signers
    // Enveloped kinds only: AuthEnvelopedData instead of EnvelopedData. The trailer length then
    // counts the mac behind the content; the plain form only.
    bool authenticated = false;
};

// Ciphertext length of a plaintext: the plaintext rounded up to the next multiple of the block
// (a whole block more when it already is one); a stream cipher (blockBytes 0) keeps the length.
uint64_t CiphertextLength(uint64_t plaintextLength, uint32_t blockBytes);

// The bytes in front of the content; definite lengths take as many bytes as they need (up to 8).
// False when a length is beyond any file, or in the open form when the content length does not
// fit its four placeholder bytes (zeros, the last four of the header).
bool BuildHeader(const HeaderInput& input, std::vector<uint8_t>& header);

// Total size of a plain-form signed ContentInfo around content and trailer (0 when too large).
uint64_t SignedContentInfoSize(size_t digestSetSize, uint64_t contentLength, uint64_t trailerLength);

// 02 01 version, 31 L, then the RecipientInfos in order.
std::vector<uint8_t> RecipientInfosBlock(uint8_t version, const std::vector<std::vector<uint8_t>>& recipientInfos);

// 30 L OID parameters.
std::vector<uint8_t> AlgorithmIdentifier(const uint8_t* oidElement, size_t oidSize, const std::vector<uint8_t>& parameters);

// Offset of the four content-length bytes of the open form from the envelope's first byte.
uint32_t OpenFormLengthOffset(size_t algorithmIdentifierSize, size_t recipientInfosSize, size_t digestSetSize);

// Length framing of the signer trailer: A0 L (when there are certificates) and 31 L.
uint64_t TrailerLength(uint64_t certificatesSize, bool withCertificates, uint64_t signerInfosSize);
std::vector<uint8_t> CertificatesBlockHeader(uint32_t certificatesSize);
std::vector<uint8_t> SignerInfosBlockHeader(uint32_t signerInfosSize);

}  // namespace envelope
