// An incremental push parser for PKCS#7 signedData in BER: definite and indefinite lengths,
// content as one OCTET STRING or as a constructed OCTET STRING in chunks. The content is handed
// on as it arrives and never kept; the digest set, certificates and SignerInfos are kept whole.
// No platform types here: this file builds natively for fast tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ber {

enum class StreamError {
    kNone,
    kBadTag,          // an element that does not belong where it stands
    kBadLength,       // a length form the reader does not accept
    kOverrun,         // an element reaches past the element around it
    kTooDeep,         // nesting beyond the reader's limit
    kTooLarge,        // a kept element (certificate, SignerInfo) beyond the reader's limit
    kTruncated,       // the input ended inside the message
    kTrailingData,    // non-zero bytes after the message
    kNotSignedData,   // the ContentInfo names another content type
    kHandlerFailed,   // the content handler refused the content
};

// Receives the content while the message streams by.
class ContentHandler {
public:
    virtual ~ContentHandler() = default;
    // The digest set has been read; the content (if any) follows.
    virtual bool OnContentBegin() = 0;
    virtual bool OnContent(const uint8_t* data, size_t size) = 0;
    // After the last content byte (also when the message carries no content).
    virtual bool OnContentEnd() = 0;
};

class SignedDataStream {
public:
    // withContentInfo: the input starts at the ContentInfo around the SignedData.
    SignedDataStream(bool withContentInfo, ContentHandler* handler);

    // Feeds the next bytes; false once an error was found (see error()).
    bool Feed(const uint8_t* data, size_t size);
    // The input is complete: false when the message has not ended.
    bool Finish();

    StreamError error() const { return error_; }
    bool complete() const { return done_; }

    // OID value bytes of each digest algorithm of the digest set, in order.
    const std::vector<std::vector<uint8_t>>& digestAlgorithms() const { return digestAlgorithms_; }
    // OID value bytes of the encapsulated content type.
    const std::vector<uint8_t>& contentType() const { return contentType_; }
    // Each certificate's encoding (tag 30 entries of the certificates set only).
    const std::vector<std::vector<uint8_t>>& certificates() const { return certificates_; }
    // Each SignerInfo's encoding.
    const std::vector<std::vector<uint8_t>>& signerInfos() const { return signerInfos_; }

    static constexpr size_t kMaxDepth = 32;
    static constexpr size_t kMaxKeptElement = 1 << 20;
    static constexpr size_t kMaxKeptCount = 1024;
    static constexpr size_t kMaxKeptTotal = 16 << 20;

private:
    enum class Role : uint8_t {
        kContentInfo,
        kContentInfoExplicit,
        kSignedData,
        kDigestSet,
        kEncapsulated,
        kContentExplicit,
        kContentChunks,
        kContentOctets,
        kCertificates,
        kSignerInfos,
        kSkip,
        kInsideKept,
    };
    enum class Keep : uint8_t {
        kNone,
        kOuterType,
        kVersion,
        kDigestAlgorithm,
        kContentType,
        kCertificate,
        kSignerInfo,
    };
    struct Frame {
        uint8_t tag;
        bool indefinite;
        uint64_t remaining;
        Role role;
        Keep keep;
        int stage;  // what the element has seen of its children so far
    };

    bool Fail(StreamError error);
    bool HeaderComplete(size_t& headerSize);
    bool StartElement();
    bool ChildRole(Frame& parent, uint8_t tag, Role& role, Keep& keep);
    bool ConsumeHeaderBytes(const uint8_t* data, size_t size);
    bool ConsumeContent(const uint8_t* data, size_t size);
    bool KeepBytes(const uint8_t* data, size_t size);
    bool CloseFinishedFrames();
    bool EndFrame();
    bool DeliverKept(Keep keep);

    bool withContentInfo_;
    ContentHandler* handler_;
    StreamError error_ = StreamError::kNone;
    bool done_ = false;
    size_t keptTotal_ = 0;  // bytes of all kept elements so far
    std::vector<uint8_t> header_;
    std::vector<Frame> frames_;
    int keptRoot_ = -1;  // frame index whose element is being kept, -1 none
    std::vector<uint8_t> kept_;
    std::vector<std::vector<uint8_t>> digestAlgorithms_;
    std::vector<uint8_t> contentType_;
    std::vector<std::vector<uint8_t>> certificates_;
    std::vector<std::vector<uint8_t>> signerInfos_;
};

// OID value bytes of a dotted OID text ("1.2.840.113549.2.5"); false when malformed.
bool DottedOidToBytes(const char* dotted, std::vector<uint8_t>& value);

// The authenticated attributes of a SignerInfo encoding as the DER SET they are signed as: the
// [0] IMPLICIT element with its tag turned into 31. False when there are none or the SignerInfo
// cannot be read.
bool AuthenticatedAttributesAsSet(const uint8_t* signerInfo, size_t size, std::vector<uint8_t>& set);

}  // namespace ber
