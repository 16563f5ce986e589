#include "format/ber_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "format/algorithms.h"
#include "format/der.h"
#include "tests/format/der_bytes.h"

namespace {

using test_der::Bytes;
using test_der::Cat;
using test_der::Tlv;

// The same element in the open form, closed by end-of-contents.
Bytes Open(uint8_t tag, const Bytes& content) { return Cat({Bytes{tag, 0x80}, content, Bytes{0, 0}}); }

const Bytes kSha1Oid{0x2B, 0x0E, 0x03, 0x02, 0x1A};
const Bytes kSha256Oid{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const Bytes kDataOid{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const Bytes kSignedOid{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes kEnvelopedOid{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};

Bytes Algorithm(const Bytes& oid) { return Tlv(0x30, Cat({Tlv(0x06, oid), Bytes{0x05, 0x00}})); }
Bytes Certificate(uint8_t marker) { return Tlv(0x30, Tlv(0x02, Bytes{marker})); }
Bytes SignerInfo(uint8_t marker) { return Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), Tlv(0x04, Bytes{marker, marker})})); }

Bytes Content(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

// SignedData with every length definite, content as one OCTET STRING.
Bytes DefiniteSignedData(const Bytes& content) {
    return Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), Tlv(0x31, Cat({Algorithm(kSha1Oid), Algorithm(kSha256Oid)})),
                          Tlv(0x30, Cat({Tlv(0x06, kDataOid), Tlv(0xA0, Tlv(0x04, content))})),
                          Tlv(0xA0, Cat({Certificate(1), Certificate(2)})),
                          Tlv(0x31, Cat({SignerInfo(7), SignerInfo(8)}))}));
}

// The same message as a streaming encoder writes it: open lengths, content cut into chunks.
Bytes OpenSignedData(const Bytes& content, size_t chunk) {
    Bytes chunks;
    for (size_t at = 0; at < content.size(); at += chunk) {
        size_t n = std::min(chunk, content.size() - at);
        chunks = Cat({chunks, Tlv(0x04, Bytes(content.begin() + at, content.begin() + at + n))});
    }
    return Open(0x30, Cat({Tlv(0x02, Bytes{1}), Open(0x31, Cat({Algorithm(kSha1Oid), Algorithm(kSha256Oid)})),
                           Open(0x30, Cat({Tlv(0x06, kDataOid), Open(0xA0, Open(0x24, chunks))})),
                           Open(0xA0, Cat({Certificate(1), Certificate(2)})),
                           Open(0x31, Cat({SignerInfo(7), SignerInfo(8)}))}));
}

Bytes WithContentInfo(const Bytes& signedData, const Bytes& type = kSignedOid) {
    return Tlv(0x30, Cat({Tlv(0x06, type), Tlv(0xA0, signedData)}));
}

struct Collector : ber::ContentHandler {
    Bytes content;
    int begins = 0, ends = 0;
    size_t failAfter = SIZE_MAX;
    bool OnContentBegin() override { return ++begins, true; }
    bool OnContent(const uint8_t* data, size_t size) override {
        content.insert(content.end(), data, data + size);
        return content.size() <= failAfter;
    }
    bool OnContentEnd() override { return ++ends, true; }
};

// Feeds the input in pieces of the given size and finishes.
bool Parse(ber::SignedDataStream& stream, const Bytes& input, size_t piece) {
    for (size_t at = 0; at < input.size(); at += piece) {
        if (!stream.Feed(input.data() + at, std::min(piece, input.size() - at))) return false;
    }
    return stream.Finish();
}

void ExpectFullMessage(const ber::SignedDataStream& stream, const Collector& collector, const Bytes& content) {
    EXPECT_EQ(collector.content, content);
    EXPECT_EQ(collector.begins, 1);
    EXPECT_EQ(collector.ends, 1);
    ASSERT_EQ(stream.digestAlgorithms().size(), 2u);
    EXPECT_EQ(stream.digestAlgorithms()[0], kSha1Oid);
    EXPECT_EQ(stream.digestAlgorithms()[1], kSha256Oid);
    EXPECT_EQ(stream.contentType(), kDataOid);
    ASSERT_EQ(stream.certificates().size(), 2u);
    EXPECT_EQ(stream.certificates()[1], Certificate(2));
    ASSERT_EQ(stream.signerInfos().size(), 2u);
    EXPECT_EQ(stream.signerInfos()[0], SignerInfo(7));
    EXPECT_EQ(stream.signerInfos()[1], SignerInfo(8));
}

TEST(SignedDataStream, DefiniteAndOpenFormsGiveTheSameParts) {
    const Bytes content = Content(1000);
    for (size_t piece : {size_t{1}, size_t{3}, size_t{64}, size_t{100000}}) {
        SCOPED_TRACE(piece);
        Collector definite, open, wrapped;
        ber::SignedDataStream a(false, &definite), b(false, &open), c(true, &wrapped);
        ASSERT_TRUE(Parse(a, DefiniteSignedData(content), piece));
        ExpectFullMessage(a, definite, content);
        ASSERT_TRUE(Parse(b, OpenSignedData(content, 300), piece));
        ExpectFullMessage(b, open, content);
        ASSERT_TRUE(Parse(c, WithContentInfo(OpenSignedData(content, 77)), piece));
        ExpectFullMessage(c, wrapped, content);
    }
}

TEST(SignedDataStream, NestedChunksEmptyContentAndNoContent) {
    // A chunk that is itself cut into chunks, as BER allows.
    Bytes nested = Open(0x24, Cat({Tlv(0x04, Bytes{1, 2}), Open(0x24, Tlv(0x04, Bytes{3})), Tlv(0x04, Bytes{})}));
    Bytes message = Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), Tlv(0x31, Algorithm(kSha1Oid)),
                                   Tlv(0x30, Cat({Tlv(0x06, kDataOid), Tlv(0xA0, nested)})),
                                   Tlv(0x31, SignerInfo(1))}));
    Collector collector;
    ber::SignedDataStream stream(false, &collector);
    ASSERT_TRUE(Parse(stream, message, 5));
    EXPECT_EQ(collector.content, (Bytes{1, 2, 3}));

    // No content at all (a detached signature): begin and end are still reported.
    Bytes detached = Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), Tlv(0x31, Bytes{}), Tlv(0x30, Tlv(0x06, kDataOid)),
                                    Tlv(0x31, Bytes{})}));
    Collector none;
    ber::SignedDataStream empty(false, &none);
    ASSERT_TRUE(Parse(empty, detached, 1));
    EXPECT_TRUE(none.content.empty());
    EXPECT_EQ(none.begins, 1);
    EXPECT_EQ(none.ends, 1);
    EXPECT_TRUE(empty.digestAlgorithms().empty());
    EXPECT_TRUE(empty.signerInfos().empty());
}

TEST(SignedDataStream, EveryTruncationIsRefused) {
    const Bytes messages[] = {DefiniteSignedData(Content(40)), OpenSignedData(Content(40), 16),
                              WithContentInfo(DefiniteSignedData(Content(3)))};
    for (const Bytes& message : messages) {
        for (size_t cut = 0; cut < message.size(); ++cut) {
            Collector collector;
            ber::SignedDataStream stream(&message == &messages[2], &collector);
            bool fed = stream.Feed(message.data(), cut);
            EXPECT_FALSE(fed && stream.Finish()) << "accepted a message cut at " << cut;
            if (fed) {
                EXPECT_EQ(stream.error(), ber::StreamError::kTruncated);
            }
        }
    }
}

TEST(SignedDataStream, TrailingBytes) {
    Bytes message = DefiniteSignedData(Content(10));
    Collector a, b;
    ber::SignedDataStream zeros(false, &a), junk(false, &b);
    // The end-of-contents of an open ContentInfo around the SignedData may follow.
    EXPECT_TRUE(Parse(zeros, Cat({message, Bytes{0, 0, 0, 0}}), 7));
    EXPECT_FALSE(Parse(junk, Cat({message, Bytes{0, 1}}), 7));
    EXPECT_EQ(junk.error(), ber::StreamError::kTrailingData);
}

struct Malformed {
    const char* name;
    Bytes input;
    ber::StreamError error;
};

TEST(SignedDataStream, MalformedInputIsRefusedWithItsReason) {
    const Bytes version = Tlv(0x02, Bytes{1});
    const Bytes digests = Tlv(0x31, Algorithm(kSha1Oid));
    const Bytes encapsulated = Tlv(0x30, Cat({Tlv(0x06, kDataOid), Tlv(0xA0, Tlv(0x04, Bytes{9}))}));
    const Bytes signers = Tlv(0x31, SignerInfo(1));
    Bytes overrun = Tlv(0x30, Cat({version, digests, encapsulated, signers}));
    overrun[overrun.size() - signers.size() + 1] += 1;  // signerInfos claims one byte more than there is
    Bytes deep;
    for (int i = 0; i < 40; ++i) deep = Open(0x24, deep);
    const Malformed cases[] = {
        {"not a sequence", Tlv(0x31, Bytes{}), ber::StreamError::kBadTag},
        {"missing signerInfos", Tlv(0x30, Cat({version, digests, encapsulated})), ber::StreamError::kBadTag},
        {"version missing", Tlv(0x30, Cat({digests, encapsulated, signers})), ber::StreamError::kBadTag},
        {"content not an OCTET STRING",
         Tlv(0x30, Cat({version, digests, Tlv(0x30, Cat({Tlv(0x06, kDataOid), Tlv(0xA0, Tlv(0x02, Bytes{1}))})),
                        signers})),
         ber::StreamError::kBadTag},
        {"open primitive", Tlv(0x30, Cat({version, digests, Bytes{0x04, 0x80}})), ber::StreamError::kBadLength},
        {"nine length bytes", Bytes{0x30, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 1}, ber::StreamError::kBadLength},
        // Certificates and SignerInfos are kept for the DER reader.
        {"open SignerInfo", Tlv(0x30, Cat({version, digests, encapsulated, Tlv(0x31, Open(0x30, version))})),
         ber::StreamError::kBadLength},
        {"open length inside a certificate",
         Tlv(0x30, Cat({version, digests, encapsulated, Tlv(0xA0, Tlv(0x30, Open(0x30, Bytes{}))), signers})),
         ber::StreamError::kBadLength},
        {"high tag form", Bytes{0x3F, 0x01}, ber::StreamError::kBadTag},
        {"end-of-contents in a definite element", Tlv(0x30, Bytes{0, 0}), ber::StreamError::kBadTag},
        {"element past its parent", overrun, ber::StreamError::kOverrun},
        {"nesting too deep",
         Tlv(0x30, Cat({version, digests, Tlv(0x30, Cat({Tlv(0x06, kDataOid), Open(0xA0, deep)}))})),
         ber::StreamError::kTooDeep},
    };
    for (const Malformed& c : cases) {
        Collector collector;
        ber::SignedDataStream stream(false, &collector);
        EXPECT_FALSE(Parse(stream, c.input, 1)) << c.name;
        EXPECT_EQ(stream.error(), c.error) << c.name;
    }

    Collector collector;
    ber::SignedDataStream enveloped(true, &collector);
    EXPECT_FALSE(Parse(enveloped, WithContentInfo(DefiniteSignedData(Content(4)), kEnvelopedOid), 3));
    EXPECT_EQ(enveloped.error(), ber::StreamError::kNotSignedData);
}

// A content of 5 GiB stated with five length bytes streams like any other: the first bytes of it
// reach the handler, and the message is only incomplete, not refused. Its definite outer length is
// counted in 64 bits: a content one byte longer than the outer element allows is an overrun.
TEST(SignedDataStream, ContentLengthsPastFourGiB) {
    const uint64_t fiveGiB = 5ull << 30;
    const Bytes digests = Tlv(0x31, Algorithm(kSha1Oid));
    const Bytes octetsHead = {0x04, 0x85, 0x01, 0x40, 0x00, 0x00, 0x00};
    const Bytes start = Cat({Bytes{0x30, 0x80}, Tlv(0x02, Bytes{1}), digests, Bytes{0x30, 0x80}, Tlv(0x06, kDataOid),
                             Bytes{0xA0, 0x80}, octetsHead, Content(4096)});
    Collector collector;
    ber::SignedDataStream stream(false, &collector);
    EXPECT_TRUE(stream.Feed(start.data(), start.size()));
    EXPECT_EQ(stream.error(), ber::StreamError::kNone);
    EXPECT_EQ(collector.content, Content(4096));
    EXPECT_FALSE(stream.Finish());
    EXPECT_EQ(stream.error(), ber::StreamError::kTruncated);

    // [0] with six length bytes holding exactly the OCTET STRING, then one byte short of it.
    for (uint64_t explicitLength : {fiveGiB + octetsHead.size(), fiveGiB + octetsHead.size() - 1}) {
        Bytes explicitHead = {0xA0};
        der::AppendLength(explicitHead, explicitLength);
        const Bytes input = Cat({Bytes{0x30, 0x80}, Tlv(0x02, Bytes{1}), digests, Bytes{0x30, 0x80},
                                 Tlv(0x06, kDataOid), explicitHead, octetsHead, Content(16)});
        Collector inner;
        ber::SignedDataStream definite(false, &inner);
        const bool fits = explicitLength == fiveGiB + octetsHead.size();
        EXPECT_EQ(definite.Feed(input.data(), input.size()), fits);
        EXPECT_EQ(definite.error(), fits ? ber::StreamError::kNone : ber::StreamError::kOverrun);
    }
}

TEST(SignedDataStream, KeptElementsAreBounded) {
    // One SignerInfo beyond the limit for a kept element.
    Bytes huge = Tlv(0x30, Tlv(0x04, Bytes(ber::SignedDataStream::kMaxKeptElement, 0x55)));
    Bytes message = Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), Tlv(0x31, Bytes{}), Tlv(0x30, Tlv(0x06, kDataOid)),
                                   Tlv(0x31, huge)}));
    Collector collector;
    ber::SignedDataStream stream(false, &collector);
    EXPECT_FALSE(Parse(stream, message, 65536));
    EXPECT_EQ(stream.error(), ber::StreamError::kTooLarge);

    // Many certificates, each within the limit, beyond the limit for all of them together.
    Bytes certificate = Tlv(0x30, Tlv(0x04, Bytes(ber::SignedDataStream::kMaxKeptElement / 2, 0x66)));
    Bytes certificates;
    for (size_t total = 0; total <= ber::SignedDataStream::kMaxKeptTotal; total += certificate.size())
        certificates.insert(certificates.end(), certificate.begin(), certificate.end());
    Bytes many = Open(0x30, Cat({Tlv(0x02, Bytes{1}), Tlv(0x31, Bytes{}), Tlv(0x30, Tlv(0x06, kDataOid)),
                                 Open(0xA0, certificates), Tlv(0x31, Bytes{})}));
    ber::SignedDataStream bounded(false, &collector);
    EXPECT_FALSE(Parse(bounded, many, 1 << 20));
    EXPECT_EQ(bounded.error(), ber::StreamError::kTooLarge);
}

TEST(SignedDataStream, HandlerRefusalStopsTheStream) {
    Collector collector;
    collector.failAfter = 100;
    ber::SignedDataStream stream(false, &collector);
    Bytes message = OpenSignedData(Content(1000), 64);
    EXPECT_FALSE(stream.Feed(message.data(), message.size()));
    EXPECT_EQ(stream.error(), ber::StreamError::kHandlerFailed);
    EXPECT_LT(collector.content.size(), 200u);
    EXPECT_FALSE(stream.Feed(message.data(), 1));  // the error is sticky
}

TEST(DottedOid, RoundTripsWithTheDottedText) {
    for (const char* text : {"1.3.14.3.2.26", "1.2.840.113549.2.5", "2.16.840.1.101.3.4.2.1", "2.999.1",
                             "1.2.840.113549.1.9.4", "0.0"}) {
        Bytes value;
        ASSERT_TRUE(ber::DottedOidToBytes(text, value)) << text;
        EXPECT_EQ(alg::OidToDottedString(value.data(), value.size()), text);
    }
    Bytes value;
    ASSERT_TRUE(ber::DottedOidToBytes("1.2.840.113549.2.5", value));
    EXPECT_EQ(value, (Bytes{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}));
    for (const char* bad : {"", "1", "3.1", "1.40", "1..2", "1.2.", "a.b", "1.2x"})
        EXPECT_FALSE(ber::DottedOidToBytes(bad, value)) << bad;
}

TEST(AuthenticatedAttributes, ReturnsTheSetEncodingOrNothing) {
    const Bytes issuerSerial = Tlv(0x30, Cat({Tlv(0x30, Bytes{}), Tlv(0x02, Bytes{5})}));
    const Bytes attributes = Cat({Tlv(0x30, Tlv(0x06, Bytes{1})), Tlv(0x30, Tlv(0x06, Bytes{2}))});
    Bytes withAttributes = Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), issuerSerial, Algorithm(kSha1Oid),
                                          Tlv(0xA0, attributes), Algorithm(kSha1Oid), Tlv(0x04, Bytes{1, 2})}));
    Bytes set;
    ASSERT_TRUE(ber::AuthenticatedAttributesAsSet(withAttributes.data(), withAttributes.size(), set));
    EXPECT_EQ(set, Tlv(0x31, attributes));

    Bytes without = Tlv(0x30, Cat({Tlv(0x02, Bytes{1}), issuerSerial, Algorithm(kSha1Oid), Algorithm(kSha1Oid),
                                   Tlv(0x04, Bytes{1, 2})}));
    EXPECT_FALSE(ber::AuthenticatedAttributesAsSet(without.data(), without.size(), set));
    EXPECT_FALSE(ber::AuthenticatedAttributesAsSet(withAttributes.data(), withAttributes.size() - 3, set));
}

}  // namespace
