#include "format/envelope_layout.h"

#include <iterator>

#include "format/algorithms.h"
#include "format/auth_enveloped.h"
#include "format/der.h"

namespace envelope {
namespace {

// Far beyond any file, and small enough that the sums below never wrap.
constexpr uint64_t kMaxLength = uint64_t{1} << 62;
// The open form's content length is patched into four bytes after the content is written.
constexpr uint64_t kMaxOpenFormContent = 0xFFFFFFFFu;

// Tag + length + content, saturating, so an oversized length shows up instead of wrapping.
uint64_t Element(uint64_t contentLength) {
    if (contentLength > kMaxLength) return kMaxLength + 1;
    return der::ElementSize(contentLength);
}

void AppendBytes(std::vector<uint8_t>& out, const uint8_t* bytes, size_t size) {
    out.insert(out.end(), bytes, bytes + size);
}

void AppendBytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Tag followed by the definite length, or by the open length byte in the open form.
void AppendHead(std::vector<uint8_t>& out, uint8_t tag, uint64_t length, bool open) {
    out.push_back(tag);
    if (open)
        out.push_back(0x80);
    else
        der::AppendLength(out, length);
}

// 04 84 00 00 00 00: the content OCTET STRING of the open form, its length patched afterwards.
void AppendOpenOctetString(std::vector<uint8_t>& out) {
    const uint8_t bytes[] = {der::kOctetString, 0x84, 0, 0, 0, 0};
    AppendBytes(out, bytes, sizeof bytes);
}

bool BuildEnvelopedHeader(const HeaderInput& in, std::vector<uint8_t>& out) {
    const bool open = in.openForm;
    const bool sae = in.kind == Kind::kSignedAndEnveloped;
    const uint64_t ct = in.contentLength;
    // signedAndEnvelopedData wraps the ciphertext in a constructed [0] holding one OCTET STRING.
    const uint64_t encryptedContent = (sae || open) ? Element(Element(ct)) : Element(ct);
    const uint64_t eci = sizeof envelope_bytes::kOidData + in.algorithmIdentifier.size() + encryptedContent;
    const uint64_t body = in.recipientInfos.size() + in.digestSet.size() + Element(eci) + in.trailerLength;
    const uint64_t explicitContent = Element(body);
    std::vector<uint8_t> outerOid;
    if (in.authenticated)
        outerOid = auth_enveloped::ContentTypeElement();
    else if (sae)
        outerOid.assign(std::begin(envelope_bytes::kOidSignedAndEnvelopedData),
                        std::end(envelope_bytes::kOidSignedAndEnvelopedData));
    else
        outerOid.assign(std::begin(envelope_bytes::kOidEnvelopedData), std::end(envelope_bytes::kOidEnvelopedData));
    const uint64_t contentInfo = outerOid.size() + Element(explicitContent);
    if (Element(contentInfo) > kMaxLength) return false;

    AppendHead(out, der::kSequence, contentInfo, open);
    AppendBytes(out, outerOid);
    AppendHead(out, der::kContext0, explicitContent, open);
    AppendHead(out, der::kSequence, body, open);
    AppendBytes(out, in.recipientInfos);
    AppendBytes(out, in.digestSet);
    AppendHead(out, der::kSequence, eci, open);
    AppendBytes(out, envelope_bytes::kOidData, sizeof envelope_bytes::kOidData);
    AppendBytes(out, in.algorithmIdentifier);
    if (open) {
        AppendHead(out, der::kContext0, 0, true);
        AppendOpenOctetString(out);
    } else if (sae) {
        AppendHead(out, der::kContext0, Element(ct), false);
        AppendHead(out, der::kOctetString, ct, false);
    } else {
        AppendHead(out, der::kContext0Primitive, ct, false);
    }
    return true;
}

bool BuildSignedHeader(const HeaderInput& in, std::vector<uint8_t>& out) {
    const bool open = in.openForm;
    const uint64_t n = in.contentLength;
    const uint64_t inner = sizeof envelope_bytes::kOidData + Element(Element(n));
    const uint64_t body = 3 + in.digestSet.size() + Element(inner) + in.trailerLength;
    const uint64_t explicitContent = Element(body);
    const uint64_t contentInfo = sizeof envelope_bytes::kOidData + Element(explicitContent);
    if (Element(contentInfo) > kMaxLength) return false;

    const uint8_t version[] = {der::kInteger, 0x01, 0x01};
    AppendHead(out, der::kSequence, contentInfo, open);
    AppendBytes(out, envelope_bytes::kOidSignedData, sizeof envelope_bytes::kOidSignedData);
    AppendHead(out, der::kContext0, explicitContent, open);
    AppendHead(out, der::kSequence, body, open);
    AppendBytes(out, version, sizeof version);
    AppendBytes(out, in.digestSet);
    AppendHead(out, der::kSequence, inner, open);
    AppendBytes(out, envelope_bytes::kOidData, sizeof envelope_bytes::kOidData);
    AppendHead(out, der::kContext0, Element(n), open);
    if (open)
        AppendOpenOctetString(out);
    else
        AppendHead(out, der::kOctetString, n, false);
    return true;
}

}  // namespace

uint64_t CiphertextLength(uint64_t plaintextLength, uint32_t blockBytes) {
    if (blockBytes == 0) return plaintextLength;
    return (plaintextLength / blockBytes + 1) * blockBytes;
}

bool BuildHeader(const HeaderInput& input, std::vector<uint8_t>& header) {
    header.clear();
    if (input.contentLength > (input.openForm ? kMaxOpenFormContent : kMaxLength)) return false;
    if (input.kind == Kind::kSigned) return BuildSignedHeader(input, header);
    if (input.authenticated && (input.openForm || input.kind == Kind::kSignedAndEnveloped)) return false;
    return BuildEnvelopedHeader(input, header);
}

uint64_t SignedContentInfoSize(size_t digestSetSize, uint64_t contentLength, uint64_t trailerLength) {
    HeaderInput input;
    input.kind = Kind::kSigned;
    input.digestSet.assign(digestSetSize, 0);
    input.contentLength = contentLength;
    input.trailerLength = trailerLength;
    std::vector<uint8_t> header;
    if (!BuildHeader(input, header)) return 0;
    return header.size() + contentLength + trailerLength;
}

std::vector<uint8_t> RecipientInfosBlock(uint8_t version, const std::vector<std::vector<uint8_t>>& recipientInfos) {
    std::vector<uint8_t> set;
    for (const auto& info : recipientInfos) AppendBytes(set, info);
    std::vector<uint8_t> block = {der::kInteger, 0x01, version};
    der::AppendElement(block, der::kSet, set);
    return block;
}

std::vector<uint8_t> AlgorithmIdentifier(const uint8_t* oidElement, size_t oidSize, const std::vector<uint8_t>& parameters) {
    std::vector<uint8_t> content(oidElement, oidElement + oidSize);
    AppendBytes(content, parameters);
    std::vector<uint8_t> out;
    der::AppendElement(out, der::kSequence, content);
    return out;
}

uint32_t OpenFormLengthOffset(size_t algorithmIdentifierSize, size_t recipientInfosSize, size_t digestSetSize) {
    // 30 80, OID, A0 80, 30 80, [R], [D], 30 80, OID data, [A], A0 80, 04 84.
    return static_cast<uint32_t>(34 + algorithmIdentifierSize + recipientInfosSize + digestSetSize);
}

uint64_t TrailerLength(uint64_t certificatesSize, bool withCertificates, uint64_t signerInfosSize) {
    uint64_t length = Element(signerInfosSize);
    if (withCertificates) length += Element(certificatesSize);
    return length;
}

std::vector<uint8_t> CertificatesBlockHeader(uint32_t certificatesSize) {
    std::vector<uint8_t> out = {der::kContext0};
    der::AppendLength(out, certificatesSize);
    return out;
}

std::vector<uint8_t> SignerInfosBlockHeader(uint32_t signerInfosSize) {
    std::vector<uint8_t> out = {der::kSet};
    der::AppendLength(out, signerInfosSize);
    return out;
}

}  // namespace envelope
