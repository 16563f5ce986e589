#include "format/ber_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "format/der.h"

namespace ber {
namespace {

constexpr uint8_t kConstructedBit = 0x20;
constexpr uint8_t kHighTagForm = 0x1F;
constexpr uint8_t kEndOfContents = 0x00;
constexpr uint8_t kConstructedOctetString = 0x24;
constexpr uint8_t kContext1 = 0xA1;

// Value bytes of 1.2.840.113549.1.7.2 (signedData).
constexpr uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// Stages of a SignedData's children.
enum SignedDataStage {
    kExpectVersion,
    kExpectDigestSet,
    kExpectContent,
    kAfterContent,
    kAfterCertificates,
    kAfterCrls,
    kAfterSignerInfos,
};

// Content bytes of a kept primitive element (tag, definite length, value).
bool PrimitiveValue(const std::vector<uint8_t>& element, uint8_t tag, der::Reader& value) {
    der::Reader whole(element);
    return whole.ReadElement(tag, value) && whole.empty();
}

}  // namespace

SignedDataStream::SignedDataStream(bool withContentInfo, ContentHandler* handler)
    : withContentInfo_(withContentInfo), handler_(handler) {}

bool SignedDataStream::Fail(StreamError error) {
    if (error_ == StreamError::kNone) error_ = error;
    return false;
}

bool SignedDataStream::Feed(const uint8_t* data, size_t size) {
    if (error_ != StreamError::kNone) return false;
    while (size > 0) {
        if (!frames_.empty() && !(frames_.back().tag & kConstructedBit) && frames_.back().remaining > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(size, frames_.back().remaining));
            if (!ConsumeContent(data, n) || !CloseFinishedFrames()) return false;
            data += n;
            size -= n;
            continue;
        }
        if (done_) {
            // Zero bytes may follow: the end-of-contents of an open ContentInfo around us.
            if (*data != 0) return Fail(StreamError::kTrailingData);
            ++data;
            --size;
            continue;
        }
        header_.push_back(*data++);
        --size;
        size_t headerSize = 0;
        if (!HeaderComplete(headerSize)) {
            if (error_ != StreamError::kNone) return false;
            continue;
        }
        if (!StartElement()) return false;
        header_.clear();
    }
    return true;
}

bool SignedDataStream::Finish() {
    if (error_ != StreamError::kNone) return false;
    if (!done_ || !header_.empty()) return Fail(StreamError::kTruncated);
    return true;
}

// True when header_ holds a whole tag and length; false (error unset) while more bytes are needed.
bool SignedDataStream::HeaderComplete(size_t& headerSize) {
    if ((header_[0] & kHighTagForm) == kHighTagForm) return Fail(StreamError::kBadTag);
    if (header_.size() < 2) return false;
    uint8_t first = header_[1];
    size_t lengthBytes = 0;
    if (first > 0x80) {
        lengthBytes = first & 0x7F;
        if (lengthBytes > der::kMaxLengthBytes) return Fail(StreamError::kBadLength);
    }
    headerSize = 2 + lengthBytes;
    return header_.size() == headerSize;
}

bool SignedDataStream::StartElement() {
    uint8_t tag = header_[0];
    bool indefinite = header_[1] == 0x80;
    der::ParsedLength parsed = der::ParseDerLength(header_.data() + 1, header_.size() - 1);
    uint64_t length = parsed.value;

    if (tag == kEndOfContents) {
        // End-of-contents closes the innermost open element, and only an open one.
        if (header_[1] != 0 || frames_.empty() || !frames_.back().indefinite) return Fail(StreamError::kBadTag);
        if (!ConsumeHeaderBytes(header_.data(), header_.size())) return false;
        return EndFrame() && CloseFinishedFrames();
    }
    bool constructed = (tag & kConstructedBit) != 0;
    if (indefinite && !constructed) return Fail(StreamError::kBadLength);
    if (frames_.size() >= kMaxDepth) return Fail(StreamError::kTooDeep);

    Role role = Role::kSkip;
    Keep keep = Keep::kNone;
    if (frames_.empty()) {
        if (tag != der::kSequence) return Fail(StreamError::kBadTag);
        role = withContentInfo_ ? Role::kContentInfo : Role::kSignedData;
    } else if (!ChildRole(frames_.back(), tag, role, keep)) {
        return false;
    }
    // The certificates and SignerInfos kept are read later as DER: an open length in one is refused
    // here rather than kept as bytes that reader cannot take.
    const Keep keptAs = keptRoot_ >= 0 ? frames_[keptRoot_].keep : keep;
    const uint8_t keptTag = keptRoot_ >= 0 ? frames_[keptRoot_].tag : tag;
    const bool readAsDer = keptAs == Keep::kSignerInfo || (keptAs == Keep::kCertificate && keptTag == der::kSequence);
    if (indefinite && readAsDer) return Fail(StreamError::kBadLength);
    if (!ConsumeHeaderBytes(header_.data(), header_.size())) return false;
    if (!indefinite) {
        for (const Frame& frame : frames_)
            if (!frame.indefinite && length > frame.remaining) return Fail(StreamError::kOverrun);
    }
    frames_.push_back(Frame{tag, indefinite, length, role, keep, 0});
    if (keep != Keep::kNone && keptRoot_ < 0) {
        keptRoot_ = static_cast<int>(frames_.size()) - 1;
        kept_.clear();
        if (!KeepBytes(header_.data(), header_.size())) return false;
    }
    return CloseFinishedFrames();
}

// What a child element means inside its parent; refuses children that do not belong there.
bool SignedDataStream::ChildRole(Frame& parent, uint8_t tag, Role& role, Keep& keep) {
    switch (parent.role) {
    case Role::kContentInfo:
        if (parent.stage == 0 && tag == der::kOid) {
            role = Role::kInsideKept;
            keep = Keep::kOuterType;
        } else if (parent.stage == 1 && tag == der::kContext0) {
            role = Role::kContentInfoExplicit;
        } else {
            return Fail(StreamError::kBadTag);
        }
        ++parent.stage;
        return true;
    case Role::kContentInfoExplicit:
        if (parent.stage != 0 || tag != der::kSequence) return Fail(StreamError::kBadTag);
        ++parent.stage;
        role = Role::kSignedData;
        return true;
    case Role::kSignedData:
        if (parent.stage == kExpectVersion && tag == der::kInteger) {
            role = Role::kInsideKept;
            keep = Keep::kVersion;
            parent.stage = kExpectDigestSet;
        } else if (parent.stage == kExpectDigestSet && tag == der::kSet) {
            role = Role::kDigestSet;
            parent.stage = kExpectContent;
        } else if (parent.stage == kExpectContent && tag == der::kSequence) {
            role = Role::kEncapsulated;
            parent.stage = kAfterContent;
        } else if (parent.stage == kAfterContent && tag == der::kContext0) {
            role = Role::kCertificates;
            parent.stage = kAfterCertificates;
        } else if ((parent.stage == kAfterContent || parent.stage == kAfterCertificates) && tag == kContext1) {
            role = Role::kSkip;  // revocation lists play no part in verification here
            parent.stage = kAfterCrls;
        } else if (parent.stage >= kAfterContent && parent.stage < kAfterSignerInfos && tag == der::kSet) {
            role = Role::kSignerInfos;
            parent.stage = kAfterSignerInfos;
        } else {
            return Fail(StreamError::kBadTag);
        }
        return true;
    case Role::kDigestSet:
        role = Role::kInsideKept;
        keep = Keep::kDigestAlgorithm;
        return true;
    case Role::kEncapsulated:
        if (parent.stage == 0 && tag == der::kOid) {
            role = Role::kInsideKept;
            keep = Keep::kContentType;
        } else if (parent.stage == 1 && tag == der::kContext0) {
            role = Role::kContentExplicit;
        } else {
            return Fail(StreamError::kBadTag);
        }
        ++parent.stage;
        return true;
    case Role::kContentExplicit:
    case Role::kContentChunks:
        // The content is one OCTET STRING, primitive or cut into chunks (nested as BER allows).
        if (parent.role == Role::kContentExplicit && parent.stage++ != 0) return Fail(StreamError::kBadTag);
        if (tag == der::kOctetString) {
            role = Role::kContentOctets;
        } else if (tag == kConstructedOctetString) {
            role = Role::kContentChunks;
        } else {
            return Fail(StreamError::kBadTag);
        }
        return true;
    case Role::kCertificates:
        role = Role::kInsideKept;
        keep = Keep::kCertificate;
        return true;
    case Role::kSignerInfos:
        role = Role::kInsideKept;
        keep = Keep::kSignerInfo;
        return true;
    case Role::kContentOctets:
        return Fail(StreamError::kBadTag);
    case Role::kSkip:
    case Role::kInsideKept:
        role = parent.role;
        return true;
    }
    return Fail(StreamError::kBadTag);
}

bool SignedDataStream::ConsumeHeaderBytes(const uint8_t* data, size_t size) {
    for (Frame& frame : frames_) {
        if (frame.indefinite) continue;
        if (size > frame.remaining) return Fail(StreamError::kOverrun);
        frame.remaining -= size;
    }
    if (keptRoot_ >= 0 && !KeepBytes(data, size)) return false;
    return true;
}

// Value bytes of the innermost (primitive) element; its length was checked against every
// enclosing definite length when it started.
bool SignedDataStream::ConsumeContent(const uint8_t* data, size_t size) {
    for (Frame& frame : frames_)
        if (!frame.indefinite) frame.remaining -= size;
    if (keptRoot_ >= 0 && !KeepBytes(data, size)) return false;
    if (frames_.back().role == Role::kContentOctets && handler_ && !handler_->OnContent(data, size))
        return Fail(StreamError::kHandlerFailed);
    return true;
}

// Adds bytes to the element being kept, within the limits for one element and for all of them.
bool SignedDataStream::KeepBytes(const uint8_t* data, size_t size) {
    if (kept_.size() + size > kMaxKeptElement || keptTotal_ + size > kMaxKeptTotal)
        return Fail(StreamError::kTooLarge);
    kept_.insert(kept_.end(), data, data + size);
    keptTotal_ += size;
    return true;
}

bool SignedDataStream::CloseFinishedFrames() {
    while (!frames_.empty() && !frames_.back().indefinite && frames_.back().remaining == 0) {
        if (!EndFrame()) return false;
    }
    return true;
}

bool SignedDataStream::EndFrame() {
    Frame frame = frames_.back();
    frames_.pop_back();
    if (keptRoot_ == static_cast<int>(frames_.size())) {
        keptRoot_ = -1;
        if (!DeliverKept(frame.keep)) return false;
    }
    switch (frame.role) {
    case Role::kContentInfo:
        if (frame.stage != 2) return Fail(StreamError::kBadTag);
        break;
    case Role::kContentInfoExplicit:
        if (frame.stage != 1) return Fail(StreamError::kBadTag);
        break;
    case Role::kSignedData:
        if (frame.stage != kAfterSignerInfos) return Fail(StreamError::kBadTag);
        break;
    case Role::kEncapsulated:
        if (frame.stage == 0) return Fail(StreamError::kBadTag);
        if (handler_ && !handler_->OnContentEnd()) return Fail(StreamError::kHandlerFailed);
        break;
    case Role::kContentExplicit:
        if (frame.stage != 1) return Fail(StreamError::kBadTag);
        break;
    default:
        break;
    }
    if (frames_.empty()) done_ = true;
    return true;
}

bool SignedDataStream::DeliverKept(Keep keep) {
    std::vector<uint8_t> element;
    element.swap(kept_);
    der::Reader value;
    switch (keep) {
    case Keep::kOuterType:
        if (!PrimitiveValue(element, der::kOid, value) || value.size() != sizeof kSignedDataOid ||
            std::memcmp(value.data(), kSignedDataOid, sizeof kSignedDataOid) != 0)
            return Fail(StreamError::kNotSignedData);
        return true;
    case Keep::kVersion:
        return true;
    case Keep::kContentType:
        if (!PrimitiveValue(element, der::kOid, value) || value.empty()) return Fail(StreamError::kBadTag);
        contentType_.assign(value.data(), value.data() + value.size());
        if (handler_ && !handler_->OnContentBegin()) return Fail(StreamError::kHandlerFailed);
        return true;
    case Keep::kDigestAlgorithm: {
        // AlgorithmIdentifier: 30 { 06 oid, parameters }; an entry we cannot read names no digest.
        der::Reader whole(element), sequence, oid;
        if (whole.ReadElement(der::kSequence, sequence) && sequence.ReadElement(der::kOid, oid) && !oid.empty()) {
            if (digestAlgorithms_.size() >= kMaxKeptCount) return Fail(StreamError::kTooLarge);
            digestAlgorithms_.emplace_back(oid.data(), oid.data() + oid.size());
        }
        return true;
    }
    case Keep::kCertificate:
        if (element.empty() || element[0] != der::kSequence) return true;  // other certificate forms
        if (certificates_.size() >= kMaxKeptCount) return Fail(StreamError::kTooLarge);
        certificates_.push_back(std::move(element));
        return true;
    case Keep::kSignerInfo:
        if (signerInfos_.size() >= kMaxKeptCount) return Fail(StreamError::kTooLarge);
        signerInfos_.push_back(std::move(element));
        return true;
    case Keep::kNone:
        return true;
    }
    return true;
}

bool DottedOidToBytes(const char* dotted, std::vector<uint8_t>& value) {
    value.clear();
    if (!dotted || !*dotted) return false;
    std::vector<uint64_t> arcs;
    const char* p = dotted;
    while (true) {
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        unsigned long long arc = std::strtoull(p, &end, 10);
        if (arc > (UINT64_MAX >> 8)) return false;
        arcs.push_back(arc);
        if (*end == '\0') break;
        if (*end != '.') return false;
        p = end + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return false;
    arcs[1] += arcs[0] * 40;
    for (size_t i = 1; i < arcs.size(); ++i) {
        uint8_t groups[10];
        int count = 0;
        uint64_t arc = arcs[i];
        do {
            groups[count++] = static_cast<uint8_t>(arc & 0x7F);
            arc >>= 7;
        } while (arc);
        while (count > 1) value.push_back(static_cast<uint8_t>(groups[--count] | 0x80));
        value.push_back(groups[0]);
    }
    return true;
}

bool AuthenticatedAttributesAsSet(const uint8_t* signerInfo, size_t size, std::vector<uint8_t>& set) {
    set.clear();
    der::Reader input(signerInfo, size), fields, skipped, attributes;
    uint8_t tag = 0;
    // version, issuerAndSerialNumber (or a key identifier), digestAlgorithm, then the optional [0].
    if (!input.ReadElement(der::kSequence, fields)) return false;
    for (int i = 0; i < 3; ++i)
        if (!fields.ReadAnyElement(tag, skipped)) return false;
    der::Reader whole;
    if (!fields.PeekTag(tag) || tag != der::kContext0 || !fields.ReadAnyElement(tag, attributes, &whole))
        return false;
    set.assign(whole.data(), whole.data() + whole.size());
    set[0] = der::kSet;
    return true;
}

}  // namespace ber
