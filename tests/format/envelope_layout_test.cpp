#include "format/envelope_layout.h"

#include <gtest/gtest.h>

#include "format/algorithms.h"
#include "format/auth_enveloped.h"
#include "format/der.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(uint8_t value, size_t count) { return Bytes(count, value); }

Bytes Tail(const Bytes& bytes, size_t count) { return Bytes(bytes.end() - count, bytes.end()); }

TEST(CiphertextLength, RoundsUpAndAddsAWholeBlockWhenAligned) {
    EXPECT_EQ(envelope::CiphertextLength(0, 8), 8u);
    EXPECT_EQ(envelope::CiphertextLength(7, 8), 8u);
    EXPECT_EQ(envelope::CiphertextLength(8, 8), 16u);
    EXPECT_EQ(envelope::CiphertextLength(1000000, 16), 1000016u);
    EXPECT_EQ(envelope::CiphertextLength(0, 0), 0u);
    EXPECT_EQ(envelope::CiphertextLength(12345, 0), 12345u);
    EXPECT_EQ(envelope::CiphertextLength(0xFFFFFFFFull, 16), 0x100000000ull);
    EXPECT_EQ(envelope::CiphertextLength(0x100000000ull, 16), 0x100000010ull);
    EXPECT_EQ(envelope::CiphertextLength(0x10000000007ull, 8), 0x10000000008ull);
}

// An enveloped header with a fake 3-byte recipient block and a 4-byte AlgorithmIdentifier.
envelope::HeaderInput Enveloped(uint64_t ciphertext) {
    envelope::HeaderInput input;
    input.recipientInfos = Repeat(0x11, 3);
    input.algorithmIdentifier = {0x30, 0x02, 0x05, 0x00};
    input.contentLength = ciphertext;
    return input;
}

TEST(EnvelopeHeader, EnvelopedLengthsNestFromTheInside) {
    Bytes header;
    ASSERT_TRUE(envelope::BuildHeader(Enveloped(8), header));
    // ECI = OID data (11) + alg (4) + 80 08 + 8 = 25; body = 3 + 27 = 30; [0] = 32; CI = 11 + 34 = 45.
    Bytes expected = {0x30, 45, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03,
                      0xA0, 32, 0x30, 30, 0x11, 0x11, 0x11, 0x30, 25,
                      0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01,
                      0x30, 0x02, 0x05, 0x00, 0x80, 0x08};
    EXPECT_EQ(header, expected);
}

TEST(EnvelopeHeader, LongLengthsUseTheLengthRule) {
    Bytes header;
    ASSERT_TRUE(envelope::BuildHeader(Enveloped(1000016), header));
    EXPECT_EQ(Tail(header, 5), (Bytes{0x80, 0x83, 0x0F, 0x42, 0x50}));
    EXPECT_EQ(header[1], 0x83);  // the outer length grows with the content
    const uint64_t total = header.size() + 1000016;
    EXPECT_EQ((uint64_t{header[2]} << 16 | header[3] << 8 | header[4]) + 5, total);
}

TEST(EnvelopeHeader, EmptyStreamCipherContent) {
    Bytes header;
    ASSERT_TRUE(envelope::BuildHeader(Enveloped(0), header));
    EXPECT_EQ(Tail(header, 2), (Bytes{0x80, 0x00}));
}

// The AuthEnvelopedData the writer lays out reads back through the reader's own parser (itself
// proven on OpenSSL's files), for a short and a long content, with the mac as the trailer.
TEST(EnvelopeHeader, AuthenticatedEnvelopeReadsBack) {
    const uint8_t nonce[auth_enveloped::kNonceSize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const Bytes recipients = {0x02, 0x01, 0x00, 0x31, 0x03, 0x30, 0x01, 0x00};
    for (uint64_t length : {uint64_t{0}, uint64_t{70000}}) {
        envelope::HeaderInput input;
        input.authenticated = true;
        input.recipientInfos = recipients;
        input.algorithmIdentifier = auth_enveloped::GcmAlgorithmIdentifier(alg::kAes256, nonce, 16);
        input.contentLength = length;
        input.trailerLength = auth_enveloped::kMacElementSize;
        Bytes file;
        ASSERT_TRUE(envelope::BuildHeader(input, file));
        const size_t headerSize = file.size();
        file.resize(headerSize + length, 0xC3);
        file.insert(file.end(), {0x04, 16});
        file.resize(file.size() + 16, 0x7E);

        auth_enveloped::Header header;
        ASSERT_EQ(auth_enveloped::ReadHeader(file.data(), file.size(), header), auth_enveloped::Status::kOk);
        EXPECT_EQ(header.contentAlgorithm, alg::kAes256);
        EXPECT_EQ(Bytes(header.gcm.nonce, header.gcm.nonce + 12), Bytes(nonce, nonce + 12));
        EXPECT_EQ(header.gcm.tagSize, 16u);
        EXPECT_EQ(Bytes(header.recipientInfos.data(), header.recipientInfos.data() + header.recipientInfos.size()),
                  Bytes(recipients.begin() + 5, recipients.end()));
        EXPECT_EQ(header.contentOffset, headerSize);
        EXPECT_EQ(header.contentLength, length);
        // The outer length covers exactly the file.
        der::ParsedLength outer = der::ParseDerLength(file.data() + 1, file.size() - 1);
        EXPECT_EQ(1 + outer.used + outer.value, file.size());
        auth_enveloped::Trailer trailer;
        const size_t end = headerSize + static_cast<size_t>(length);
        ASSERT_EQ(auth_enveloped::ReadTrailer(file.data() + end, file.size() - end, header, trailer),
                  auth_enveloped::Status::kOk);
        EXPECT_EQ(trailer.mac.size(), 16u);
    }
    envelope::HeaderInput open;
    open.authenticated = true;
    open.openForm = true;
    Bytes header;
    EXPECT_FALSE(envelope::BuildHeader(open, header));  // the self-decoding form stays CBC
}

TEST(EnvelopeHeader, SignedAndEnvelopedWrapsTheCiphertextAndCountsTheTrailer) {
    envelope::HeaderInput input = Enveloped(16);
    input.kind = envelope::Kind::kSignedAndEnveloped;
    input.digestSet = Repeat(0x22, 13);
    input.trailerLength = 100;
    Bytes header;
    ASSERT_TRUE(envelope::BuildHeader(input, header));
    EXPECT_EQ(header[13], 0x04);  // signedAndEnvelopedData
    EXPECT_EQ(Tail(header, 4), (Bytes{0xA0, 18, 0x04, 16}));
    // body = 3 + 13 + (2 + 11 + 4 + 20) + 100 = 153 -> 81 99; the ContentInfo is 170 -> 81 AA.
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 3), (Bytes{0x30, 0x81, 170}));
    EXPECT_EQ(Bytes(header.begin() + 17, header.begin() + 20), (Bytes{0x30, 0x81, 153}));
    EXPECT_EQ(header.size() + 16 + 100, 173u);
}

TEST(EnvelopeHeader, SignedContentInfo) {
    envelope::HeaderInput input;
    input.kind = envelope::Kind::kSigned;
    input.digestSet = Repeat(0x33, 16);
    input.contentLength = 5;
    input.trailerLength = 10;
    Bytes header;
    ASSERT_TRUE(envelope::BuildHeader(input, header));
    // inner = 11 + 2 + 2 + 5 = 20; body = 3 + 16 + 22 + 10 = 51; [0] = 53; CI = 11 + 55 = 66.
    Bytes start = {0x30, 66, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02,
                   0xA0, 53, 0x30, 51, 0x02, 0x01, 0x01};
    EXPECT_EQ(Bytes(header.begin(), header.begin() + start.size()), start);
    EXPECT_EQ(Tail(header, 4), (Bytes{0xA0, 7, 0x04, 5}));
    EXPECT_EQ(envelope::SignedContentInfoSize(16, 5, 10), 68u);
}

TEST(EnvelopeHeader, OpenFormPutsTheLengthAtTheDocumentedOffset) {
    envelope::HeaderInput input = Enveloped(0);
    input.openForm = true;
    Bytes header;
    ASSERT_TRUE(envelope::BuildHeader(input, header));
    const uint32_t offset = envelope::OpenFormLengthOffset(4, 3, 0);
    EXPECT_EQ(offset, 41u);
    ASSERT_EQ(header.size(), offset + 4);
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 2), (Bytes{0x30, 0x80}));
    EXPECT_EQ(Bytes(header.begin() + offset - 4, header.end()), (Bytes{0xA0, 0x80, 0x04, 0x84, 0, 0, 0, 0}));

    input.kind = envelope::Kind::kSignedAndEnveloped;
    input.digestSet = Repeat(0x22, 16);
    input.trailerLength = 500;  // the open form ignores it
    ASSERT_TRUE(envelope::BuildHeader(input, header));
    EXPECT_EQ(header.size(), envelope::OpenFormLengthOffset(4, 3, 16) + 4u);
}

// Whether the element whose tag is at offset at ends exactly total bytes after the envelope's start.
bool EndsAt(const Bytes& header, size_t at, uint64_t total) {
    const der::ParsedLength length = der::ParseDerLength(header.data() + at + 1, header.size() - at - 1);
    return !length.open && length.used > 0 && at + 1 + length.used + length.value == total;
}

// Content lengths on both sides of 4 GiB and 1 TiB, in every kind: the innermost length states the
// content, and the ContentInfo and its [0] reach exactly to the end of content and trailer.
TEST(EnvelopeHeader, LengthsPastFourGiBTakeMoreLengthBytes) {
    const uint64_t lengths[] = {0xFFFFFFFFull, 0x100000000ull, 0x100000008ull, 0xFFFFFFFFFFull, 0x10000000000ull};
    const envelope::Kind kinds[] = {envelope::Kind::kEnveloped, envelope::Kind::kSignedAndEnveloped,
                                    envelope::Kind::kSigned};
    for (envelope::Kind kind : kinds) {
        for (uint64_t content : lengths) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(kind) << " " << content);
            envelope::HeaderInput input = Enveloped(content);
            input.kind = kind;
            if (kind != envelope::Kind::kEnveloped) {
                input.digestSet = Repeat(0x22, 13);
                input.trailerLength = 300;
            }
            Bytes header;
            ASSERT_TRUE(envelope::BuildHeader(input, header));
            Bytes contentLength;
            der::AppendLength(contentLength, content);
            EXPECT_EQ(contentLength.size(), content > 0xFFFFFFFFu ? (content > 0xFFFFFFFFFFull ? 7u : 6u) : 5u);
            EXPECT_EQ(Tail(header, contentLength.size()), contentLength);
            const uint64_t total = header.size() + content + input.trailerLength;
            EXPECT_TRUE(EndsAt(header, 0, total));
            const size_t explicitAt = 1 + der::LengthSize(total - 1 - der::LengthSize(total)) + 11;
            EXPECT_EQ(header[explicitAt], 0xA0);
            EXPECT_TRUE(EndsAt(header, explicitAt, total));
        }
    }
}

TEST(EnvelopeHeader, RefusesLengthsBeyondAnyFileAndOpenFormsPastFourBytes) {
    Bytes header;
    EXPECT_FALSE(envelope::BuildHeader(Enveloped(uint64_t{1} << 63), header));
    EXPECT_FALSE(envelope::BuildHeader(Enveloped(UINT64_MAX), header));
    envelope::HeaderInput open = Enveloped(0xFFFFFFFFull);
    open.openForm = true;
    EXPECT_TRUE(envelope::BuildHeader(open, header));
    open.contentLength = 0x100000000ull;
    EXPECT_FALSE(envelope::BuildHeader(open, header));
    open.kind = envelope::Kind::kSigned;
    EXPECT_FALSE(envelope::BuildHeader(open, header));
}

TEST(EnvelopeParts, RecipientBlockAndAlgorithmIdentifier) {
    Bytes block = envelope::RecipientInfosBlock(1, {Bytes{0x30, 0x01, 0xAA}, Bytes{0x30, 0x00}});
    EXPECT_EQ(block, (Bytes{0x02, 0x01, 0x01, 0x31, 0x05, 0x30, 0x01, 0xAA, 0x30, 0x00}));
    const alg::AlgorithmRow* rc4 = alg::ContentEncryptionRow(alg::kRc4);
    ASSERT_NE(rc4, nullptr);
    Bytes identifier = envelope::AlgorithmIdentifier(rc4->oidElement, rc4->oidElementSize, {0x05, 0x00});
    EXPECT_EQ(identifier, (Bytes{0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04, 0x05, 0x00}));
}

TEST(EnvelopeParts, TrailerFraming) {
    EXPECT_EQ(envelope::TrailerLength(700, true, 300), 4u + 700 + 4 + 300);
    EXPECT_EQ(envelope::TrailerLength(700, false, 100), 2u + 100);
    EXPECT_EQ(envelope::CertificatesBlockHeader(700), (Bytes{0xA0, 0x82, 0x02, 0xBC}));
    EXPECT_EQ(envelope::SignerInfosBlockHeader(100), (Bytes{0x31, 100}));
}

}  // namespace
