// The structures today's peers send, read from bytes OpenSSL 3 made (tests/format/modern_fixtures.h).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "format/algorithms.h"
#include "format/auth_enveloped.h"
#include "format/ecdsa_signature.h"
#include "format/recipient_info.h"
#include "format/rsa_padding_params.h"
#include "tests/format/der_bytes.h"
#include "tests/format/modern_fixtures.h"

namespace {

using test_der::Bytes;
using test_der::Cat;
using test_der::FromHex;
using test_der::Tlv;

Bytes View(const der::Reader& r) { return Bytes(r.data(), r.data() + r.size()); }

std::vector<recipient_info::Entry> ReadAll(const Bytes& set, size_t expected) {
    der::Reader reader(set);
    std::vector<recipient_info::Entry> entries;
    while (!reader.empty()) {
        recipient_info::Entry entry;
        EXPECT_EQ(recipient_info::ReadEntry(reader, entry), recipient_info::EntryStatus::kRead);
        entries.push_back(entry);
        if (entries.size() > expected) break;
    }
    EXPECT_EQ(entries.size(), expected);
    return entries;
}

TEST(RecipientInfo, ReadsIssuerAndSerialWithOaepAndPkcs1) {
    // DER sorts the SET: the rsaEncryption entry comes first.
    const Bytes set = FromHex(modern_fixtures::kRecipientsOaep);
    auto entries = ReadAll(set, 2);
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& e : entries) {
        EXPECT_EQ(e.kind, recipient_info::Kind::kKeyTransport);
        EXPECT_EQ(e.version, 0u);
        ASSERT_EQ(e.recipients.size(), 1u);
        EXPECT_FALSE(e.recipients[0].bySubjectKeyId);
        EXPECT_EQ(e.recipients[0].serial.size(), 20u);
        EXPECT_EQ(e.encryptedKey.size(), 128u);
        EXPECT_TRUE(recipient_info::IsKeyTransportToRsa(e));
    }
    EXPECT_EQ(entries[0].transport, recipient_info::KeyTransport::kRsaPkcs1);
    EXPECT_EQ(entries[1].transport, recipient_info::KeyTransport::kRsaOaep);
    EXPECT_EQ(entries[1].oaep.hash, alg::kSha1);
    EXPECT_EQ(entries[1].oaep.mgf1Hash, alg::kSha1);
    EXPECT_EQ(View(entries[0].recipients[0].issuer), View(entries[1].recipients[0].issuer));
}

TEST(RecipientInfo, ListsKeyIdentifiersKeyAgreementAndKek) {
    const Bytes set = FromHex(modern_fixtures::kRecipientsAllKinds);
    auto entries = ReadAll(set, 4);
    ASSERT_EQ(entries.size(), 4u);
    for (int i : {0, 1}) {
        EXPECT_EQ(entries[i].version, 2u);
        ASSERT_EQ(entries[i].recipients.size(), 1u);
        EXPECT_TRUE(entries[i].recipients[0].bySubjectKeyId);
        EXPECT_EQ(entries[i].recipients[0].subjectKeyId.size(), 20u);
        EXPECT_EQ(entries[i].transport, recipient_info::KeyTransport::kRsaOaep);
    }
    EXPECT_EQ(entries[1].oaep.hash, alg::kSha256);
    EXPECT_EQ(entries[1].oaep.mgf1Hash, alg::kSha256);
    EXPECT_EQ(entries[2].kind, recipient_info::Kind::kKeyAgreement);
    EXPECT_EQ(entries[2].version, 3u);
    ASSERT_EQ(entries[2].recipients.size(), 1u);
    EXPECT_TRUE(entries[2].recipients[0].bySubjectKeyId);
    EXPECT_EQ(entries[3].kind, recipient_info::Kind::kKek);
    EXPECT_EQ(entries[3].version, 4u);
    for (int i : {2, 3}) EXPECT_FALSE(recipient_info::IsKeyTransportToRsa(entries[i]));
}

TEST(RecipientInfo, RefusesVersionsThatDisagreeWithTheNameAndUnknownKinds) {
    Bytes rsa = FromHex("300d06092a864886f70d0101010500");
    Bytes key = Tlv(der::kOctetString, {1, 2, 3});
    Bytes ski = Tlv(0x80, {9, 9});
    Bytes issuerSerial = Tlv(der::kSequence, Cat({Tlv(der::kSequence, {}), Tlv(der::kInteger, {5})}));
    struct Case {
        Bytes entry;
        recipient_info::EntryStatus status;
    } cases[] = {
        {Tlv(der::kSequence, Cat({Tlv(der::kInteger, {0}), ski, rsa, key})), recipient_info::EntryStatus::kMalformed},
        {Tlv(der::kSequence, Cat({Tlv(der::kInteger, {2}), issuerSerial, rsa, key})), recipient_info::EntryStatus::kMalformed},
        {Tlv(der::kSequence, Cat({Tlv(der::kInteger, {2}), ski, rsa, key})), recipient_info::EntryStatus::kRead},
        {Tlv(der::kSequence, Cat({Tlv(der::kInteger, {0}), issuerSerial, rsa})), recipient_info::EntryStatus::kMalformed},
        {Tlv(0xA4, {1}), recipient_info::EntryStatus::kRead},
        {Tlv(0x04, {1}), recipient_info::EntryStatus::kMalformed},
        {{0x30, 0x05, 0x02}, recipient_info::EntryStatus::kNotAnEntry},
    };
    for (const Case& c : cases) {
        der::Reader set(c.entry);
        recipient_info::Entry entry;
        EXPECT_EQ(recipient_info::ReadEntry(set, entry), c.status);
        EXPECT_EQ(set.empty(), c.status != recipient_info::EntryStatus::kNotAnEntry);
    }
}

TEST(RsaPaddingParameters, ReadsOaepDefaultsHashesAndRefusesLabels) {
    const Bytes sha256 = FromHex("300b0609608648016503040201");
    const Bytes mgf1Sha256 = Tlv(der::kSequence, Cat({FromHex("06092a864886f70d010108"), sha256}));
    const Bytes md5 = FromHex("300c06082a864886f70d02050500");
    auto source = [](const Bytes& label) {
        return Tlv(0xA2, Tlv(der::kSequence, Cat({FromHex("06092a864886f70d010109"), Tlv(der::kOctetString, label)})));
    };
    struct Case {
        Bytes params;
        rsa_padding::Status status;
        uint32_t hash, mgf1Hash;
    } cases[] = {
        {{}, rsa_padding::Status::kOk, alg::kSha1, alg::kSha1},
        {{0x30, 0x00}, rsa_padding::Status::kOk, alg::kSha1, alg::kSha1},
        {Tlv(der::kSequence, Cat({Tlv(0xA0, sha256), Tlv(0xA1, mgf1Sha256), source({})})), rsa_padding::Status::kOk,
         alg::kSha256, alg::kSha256},
        {Tlv(der::kSequence, source({'x'})), rsa_padding::Status::kUnsupported, 0, 0},
        {Tlv(der::kSequence, Tlv(0xA0, md5)), rsa_padding::Status::kUnsupported, 0, 0},
        {Tlv(der::kSequence, Tlv(0xA1, sha256)), rsa_padding::Status::kUnsupported, 0, 0},
        {Tlv(der::kSequence, Cat({Tlv(0xA1, mgf1Sha256), Tlv(0xA0, sha256)})), rsa_padding::Status::kMalformed, 0, 0},
        {{0x05, 0x00}, rsa_padding::Status::kMalformed, 0, 0},
    };
    for (const Case& c : cases) {
        rsa_padding::OaepParameters out;
        EXPECT_EQ(rsa_padding::ReadOaepParameters(c.params.data(), c.params.size(), out), c.status);
        if (c.status != rsa_padding::Status::kOk) continue;
        EXPECT_EQ(out.hash, c.hash);
        EXPECT_EQ(out.mgf1Hash, c.mgf1Hash);
    }
}

TEST(RsaPaddingParameters, ReadsPssFromOpenSslAndChecksTheTrailer) {
    struct Case {
        Bytes params;
        rsa_padding::Status status;
        uint32_t hash, saltLength;
    } cases[] = {
        {FromHex(modern_fixtures::kPssParamsSha256), rsa_padding::Status::kOk, alg::kSha256, 0x5E},
        {FromHex(modern_fixtures::kPssParamsSha384Salt32), rsa_padding::Status::kOk, alg::kSha384, 32},
        {{0x30, 0x00}, rsa_padding::Status::kOk, alg::kSha1, 20},
        {Tlv(der::kSequence, Tlv(0xA3, Tlv(der::kInteger, {2}))), rsa_padding::Status::kUnsupported, 0, 0},
        {{}, rsa_padding::Status::kMalformed, 0, 0},
        {Tlv(der::kSequence, Tlv(0xA2, Tlv(der::kInteger, {0x80}))), rsa_padding::Status::kMalformed, 0, 0},
    };
    for (const Case& c : cases) {
        rsa_padding::PssParameters out;
        EXPECT_EQ(rsa_padding::ReadPssParameters(c.params.data(), c.params.size(), out), c.status);
        if (c.status != rsa_padding::Status::kOk) continue;
        EXPECT_EQ(out.hash, c.hash);
        EXPECT_EQ(out.mgf1Hash, c.hash);
        EXPECT_EQ(out.saltLength, c.saltLength);
    }
}

TEST(AuthEnveloped, ReadsOpenSslsGcmEnvelopeAroundItsContent) {
    Bytes file = FromHex(modern_fixtures::kGcmEnvelope);
    auth_enveloped::Header header;
    EXPECT_TRUE(auth_enveloped::IsAuthEnvelopedData(file.data(), 17));
    EXPECT_FALSE(auth_enveloped::IsAuthEnvelopedData(file.data(), 16));
    ASSERT_EQ(auth_enveloped::ReadHeader(file.data(), file.size(), header), auth_enveloped::Status::kOk);
    EXPECT_EQ(header.contentAlgorithm, alg::kAes128);
    EXPECT_EQ(file[header.contentTagOffset], der::kContext0Primitive);
    EXPECT_EQ(header.contentTagOffset + 2, header.contentOffset);
    EXPECT_EQ(header.gcm.tagSize, 16u);
    EXPECT_FALSE(header.constructedContent);
    EXPECT_EQ(header.contentLength, std::strlen(modern_fixtures::kGcmPlaintext));
    EXPECT_EQ(View(header.contentType), FromHex("2a864886f70d010701"));
    auto entries = ReadAll(View(header.recipientInfos), 1);
    const size_t afterContent = header.contentOffset + header.contentLength;
    auth_enveloped::Trailer trailer;
    ASSERT_EQ(auth_enveloped::ReadTrailer(file.data() + afterContent, file.size() - afterContent, header, trailer),
              auth_enveloped::Status::kOk);
    EXPECT_EQ(View(trailer.mac), Bytes(file.end() - 16, file.end()));
    EXPECT_TRUE(auth_enveloped::AuthenticatedData(trailer).empty());
    // The header alone is enough: the content and trailer need not be there yet.
    EXPECT_EQ(auth_enveloped::ReadHeader(file.data(), header.contentOffset, header), auth_enveloped::Status::kOk);
    EXPECT_EQ(auth_enveloped::ReadHeader(file.data(), header.contentOffset - 1, header), auth_enveloped::Status::kMalformed);
}

TEST(AuthEnveloped, OpenLengthsAttributesAndMacLength) {
    Bytes nonce(12, 7);
    Bytes params = Tlv(der::kSequence, Cat({Tlv(der::kOctetString, nonce), Tlv(der::kInteger, {12})}));
    Bytes algorithm = Tlv(der::kSequence, Cat({FromHex("060960864801650304012e"), params}));
    Bytes head = Cat({{0x30, 0x80}, FromHex("060b2a864886f70d0109100117"), {0xA0, 0x80, 0x30, 0x80},
                      Tlv(der::kInteger, {0}), Tlv(der::kSet, {}), {0x30, 0x80}, FromHex("06092a864886f70d010701"),
                      algorithm, {0xA0, 0x80}});
    auth_enveloped::Header header;
    ASSERT_EQ(auth_enveloped::ReadHeader(head.data(), head.size(), header), auth_enveloped::Status::kOk);
    EXPECT_EQ(header.contentAlgorithm, alg::kAes256);
    EXPECT_TRUE(header.constructedContent && header.openContentLength);
    EXPECT_EQ(header.contentOffset, head.size());
    EXPECT_EQ(header.contentTagOffset, head.size() - 2);
    Bytes enveloped = head;
    enveloped[14] = 0x03;  // another content type under the same arc
    EXPECT_FALSE(auth_enveloped::IsAuthEnvelopedData(enveloped.data(), enveloped.size()));
    EXPECT_EQ(header.EndMarksBeforeTrailer(), 2u);
    EXPECT_EQ(header.EndMarksAfterTrailer(), 3u);

    Bytes attributes = Tlv(0xA1, Tlv(der::kSequence, FromHex("06092a864886f70d010903")));
    Bytes mac = Tlv(der::kOctetString, Bytes(12, 1));
    Bytes ends(4, 0), outerEnds(6, 0);
    struct Case {
        Bytes trailer;
        auth_enveloped::Status status;
    } cases[] = {
        {Cat({ends, attributes, mac, outerEnds}), auth_enveloped::Status::kOk},
        {Cat({ends, mac, outerEnds}), auth_enveloped::Status::kOk},
        {Cat({ends, attributes, mac, Bytes(4, 0)}), auth_enveloped::Status::kMalformed},
        {Cat({ends, attributes, Tlv(der::kOctetString, Bytes(16, 1)), outerEnds}), auth_enveloped::Status::kMalformed},
        {Cat({Bytes(2, 0), attributes, mac, outerEnds}), auth_enveloped::Status::kMalformed},
    };
    for (const Case& c : cases) {
        auth_enveloped::Trailer trailer;
        EXPECT_EQ(auth_enveloped::ReadTrailer(c.trailer.data(), c.trailer.size(), header, trailer), c.status);
    }
    auth_enveloped::Trailer trailer;
    Bytes withAttributes = Cat({ends, attributes, mac, outerEnds});
    ASSERT_EQ(auth_enveloped::ReadTrailer(withAttributes.data(), withAttributes.size(), header, trailer),
              auth_enveloped::Status::kOk);
    Bytes aad = attributes;
    aad[0] = der::kSet;
    EXPECT_EQ(auth_enveloped::AuthenticatedData(trailer), aad);
}

TEST(AuthEnveloped, GcmParametersDefaultsAndLimits) {
    Bytes nonce = Tlv(der::kOctetString, Bytes(12, 3));
    struct Case {
        Bytes params;
        auth_enveloped::Status status;
        uint32_t tagSize;
    } cases[] = {
        {Tlv(der::kSequence, nonce), auth_enveloped::Status::kOk, 12},
        {Tlv(der::kSequence, Cat({nonce, Tlv(der::kInteger, {16})})), auth_enveloped::Status::kOk, 16},
        {Tlv(der::kSequence, Cat({nonce, Tlv(der::kInteger, {11})})), auth_enveloped::Status::kMalformed, 0},
        {Tlv(der::kSequence, Cat({nonce, Tlv(der::kInteger, {17})})), auth_enveloped::Status::kMalformed, 0},
        {Tlv(der::kSequence, Tlv(der::kOctetString, Bytes(16, 3))), auth_enveloped::Status::kUnsupported, 0},
        {Cat({Tlv(der::kSequence, nonce), {0}}), auth_enveloped::Status::kMalformed, 0},
    };
    for (const Case& c : cases) {
        auth_enveloped::GcmParameters out;
        EXPECT_EQ(auth_enveloped::ReadGcmParameters(c.params.data(), c.params.size(), out), c.status);
        if (c.status == auth_enveloped::Status::kOk) {
            EXPECT_EQ(out.tagSize, c.tagSize);
        }
    }
    EXPECT_EQ(auth_enveloped::GcmAlgorithmFromOid(FromHex("60864801650304011a").data(), 9), alg::kAes192);
    EXPECT_EQ(auth_enveloped::GcmAlgorithmFromOid(FromHex("60864801650304012a").data(), 9), 0u);  // AES-256-CBC
}

TEST(EcdsaSignature, OpenSslSignaturesBecomeFixedWidthHalves) {
    struct Case {
        const char* signature;
        const char* integers;
        size_t half;
    } cases[] = {{modern_fixtures::kEcdsaP256Signature, modern_fixtures::kEcdsaP256Integers, ecdsa_signature::kP256Half},
                 {modern_fixtures::kEcdsaP384Signature, modern_fixtures::kEcdsaP384Integers, ecdsa_signature::kP384Half}};
    for (const Case& c : cases) {
        Bytes der = FromHex(c.signature), raw;
        ASSERT_TRUE(ecdsa_signature::ToRaw(der.data(), der.size(), c.half, raw));
        EXPECT_EQ(raw, FromHex(c.integers));  // both fixtures' integers are full width
    }
}

TEST(EcdsaSignature, PadsShortValuesAndRefusesOversizeOrNegative) {
    auto sig = [](const Bytes& r, const Bytes& s) {
        return Tlv(der::kSequence, Cat({Tlv(der::kInteger, r), Tlv(der::kInteger, s)}));
    };
    Bytes raw;
    Bytes shortValues = sig({0x00, 0x00, 0x05}, {0x00, 0x80});
    ASSERT_TRUE(ecdsa_signature::ToRaw(shortValues.data(), shortValues.size(), 4, raw));
    EXPECT_EQ(raw, (Bytes{0, 0, 0, 5, 0, 0, 0, 0x80}));
    for (const Bytes& bad : {sig({1, 2, 3, 4, 5}, {1}), sig({0x80}, {1}), sig({0}, {1}), Cat({sig({1}, {1}), {0}}),
                             Tlv(der::kSequence, Tlv(der::kInteger, {1}))})
        EXPECT_FALSE(ecdsa_signature::ToRaw(bad.data(), bad.size(), 4, raw));
    Bytes wide = sig({0x00, 1, 2, 3, 4}, {1});
    EXPECT_TRUE(ecdsa_signature::ToRaw(wide.data(), wide.size(), 4, raw));
}

}  // namespace
