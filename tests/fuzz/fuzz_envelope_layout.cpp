// The envelope header builder, driven by fuzzed sizes and parts: the header with its content and
// signer trailer must read back as one well-formed element, and a signed one must stream through
// the signedData parser.
#include <algorithm>
#include <vector>

#include "format/algorithms.h"
#include "format/ber_stream.h"
#include "format/envelope_layout.h"
#include "tests/format/der_bytes.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using test_der::Bytes;
using test_der::Tlv;

// Takes bytes off the front of the fuzz input; zeros once it runs out.
struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    uint64_t Number(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value = (value << 8) | Byte();
        return value;
    }
    Bytes Blob() {
        size_t n = std::min<size_t>(Byte(), size);
        Bytes out(data, data + n);
        data += n;
        size -= n;
        return out;
    }
};

// Every constructed element is tiled exactly by its children.
bool WellFormed(der::Reader input) {
    while (!input.empty()) {
        uint8_t tag = 0;
        der::Reader content;
        if (!input.ReadAnyElement(tag, content)) return false;
        if ((tag & 0x20) && !WellFormed(content)) return false;
    }
    return true;
}

bool StreamsThrough(const Bytes& envelope) {
    ber::SignedDataStream stream(true, nullptr);
    return stream.Feed(envelope.data(), envelope.size()) && stream.Finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint8_t control = in.Byte();
    envelope::HeaderInput header;
    header.kind = static_cast<envelope::Kind>(control % 4);
    header.openForm = control & 0x10;
    const bool withSigners =
        header.kind == envelope::Kind::kSigned || header.kind == envelope::Kind::kSignedAndEnveloped;
    const bool enveloped = header.kind != envelope::Kind::kSigned;
    // Parts as primitive elements of fuzzed content inside the right framing.
    if (enveloped) {
        header.recipientInfos = envelope::RecipientInfosBlock(in.Byte(), {Tlv(der::kOctetString, in.Blob())});
        const auto* row = alg::ContentEncryptionRow(alg::kAes256);
        header.algorithmIdentifier =
            envelope::AlgorithmIdentifier(row->oidElement, row->oidElementSize, Tlv(der::kOctetString, in.Blob()));
    }
    Bytes trailer;
    if (withSigners) {
        header.digestSet = Tlv(der::kSet, Tlv(der::kOctetString, in.Blob()));
        const bool withCertificates = control & 0x20;
        Bytes certificates = Tlv(der::kOctetString, in.Blob());
        Bytes signerInfos = Tlv(der::kOctetString, in.Blob());
        if (withCertificates) {
            trailer = envelope::CertificatesBlockHeader(static_cast<uint32_t>(certificates.size()));
            trailer.insert(trailer.end(), certificates.begin(), certificates.end());
        }
        Bytes signers = envelope::SignerInfosBlockHeader(static_cast<uint32_t>(signerInfos.size()));
        trailer.insert(trailer.end(), signers.begin(), signers.end());
        trailer.insert(trailer.end(), signerInfos.begin(), signerInfos.end());
        FUZZ_CHECK(envelope::TrailerLength(certificates.size(), withCertificates, signerInfos.size()) ==
                   trailer.size());
        header.trailerLength = trailer.size();
    }
    // Large lengths (up to eight bytes) test the length forms; small ones are also built out in full.
    const uint64_t wide = in.Number(8);
    header.contentLength = control & 0x40 ? wide : wide % 512;

    Bytes bytes;
    if (!envelope::BuildHeader(header, bytes)) {
        // Only lengths beyond any file, or an open form whose content needs more than four bytes.
        FUZZ_CHECK(header.contentLength > (header.openForm ? 0xFFFFFFFFull : (uint64_t{1} << 62) - 0x10000));
        return 0;
    }
    if (header.openForm) {
        const uint8_t placeholder[] = {der::kOctetString, 0x84, 0, 0, 0, 0};
        FUZZ_CHECK(bytes.size() >= sizeof placeholder &&
                   std::equal(placeholder, placeholder + sizeof placeholder, bytes.end() - sizeof placeholder));
        if (enveloped)
            FUZZ_CHECK(bytes.size() == 4 + envelope::OpenFormLengthOffset(header.algorithmIdentifier.size(),
                                                                          header.recipientInfos.size(),
                                                                          header.digestSet.size()));
        return 0;
    }
    // The outer length covers header, content and trailer exactly.
    der::ParsedLength outer = der::ParseDerLength(bytes.data() + 1, bytes.size() - 1);
    FUZZ_CHECK(bytes[0] == der::kSequence && !outer.open);
    FUZZ_CHECK(1 + outer.used + uint64_t{outer.value} == bytes.size() + header.contentLength + trailer.size());
    if (header.kind == envelope::Kind::kSigned)
        FUZZ_CHECK(envelope::SignedContentInfoSize(header.digestSet.size(), header.contentLength, trailer.size()) ==
                   bytes.size() + header.contentLength + trailer.size());
    if (header.contentLength > 4096) return 0;
    bytes.resize(bytes.size() + header.contentLength, 0x5A);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    der::Reader whole(bytes), content;
    FUZZ_CHECK(whole.ReadElement(der::kSequence, content) && whole.empty() && WellFormed(content));
    if (header.kind == envelope::Kind::kSigned) FUZZ_CHECK(StreamsThrough(bytes));
    return 0;
}
