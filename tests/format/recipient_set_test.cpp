#include "format/recipient_set.h"

#include <gtest/gtest.h>

#include "format/algorithms.h"
#include "tests/format/der_bytes.h"

namespace {

using test_der::Bytes;
using test_der::Cat;
using test_der::Tlv;

const Bytes kIssuer = Tlv(der::kSequence, Tlv(der::kSet, {0x01, 0x02}));
const Bytes kSerial = {0x00, 0x9F, 0x11};
const Bytes kKey = {0xAB, 0xCD, 0xEF};
const Bytes kRsa(envelope_bytes::kKeyTransportAlgorithm,
                 envelope_bytes::kKeyTransportAlgorithm + sizeof envelope_bytes::kKeyTransportAlgorithm);
// rsaesOaep (1.2.840.113549.1.1.7) with no parameters.
const Bytes kOaep = Tlv(der::kSequence, {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x07});

// One RecipientInfo from its fields, each already encoded.
Bytes Entry(const Bytes& version, const Bytes& issuerAndSerial, const Bytes& algorithm, const Bytes& key) {
    return Tlv(der::kSequence, Cat({version, issuerAndSerial, algorithm, key}));
}

const Bytes kVersion0 = Tlv(der::kInteger, {0x00});
const Bytes kIssuerAndSerial = Tlv(der::kSequence, Cat({kIssuer, Tlv(der::kInteger, kSerial)}));
const Bytes kWrapped = Tlv(der::kOctetString, kKey);

Bytes ToBytes(const der::Reader& view) { return Bytes(view.data(), view.data() + view.size()); }

TEST(RecipientSet, ReadsAnEntryAndItsFields) {
    Bytes set = Entry(kVersion0, kIssuerAndSerial, kRsa, kWrapped);
    der::Reader reader(set);
    recipient_set::Entry entry;
    ASSERT_EQ(recipient_set::ReadEntry(reader, entry), recipient_set::EntryStatus::kRead);
    EXPECT_EQ(entry.version, 0u);
    EXPECT_EQ(ToBytes(entry.issuer), kIssuer);
    EXPECT_EQ(ToBytes(entry.serial), kSerial);
    EXPECT_EQ(ToBytes(entry.keyEncryptionAlgorithm), kRsa);
    EXPECT_EQ(ToBytes(entry.encryptedKey), kKey);
    EXPECT_TRUE(reader.empty());
}

TEST(RecipientSet, RefusedEntriesAreSkipped) {
    using recipient_set::EntryStatus;
    const Bytes badIssuer = Tlv(der::kSequence, Cat({Tlv(der::kSet, {}), Tlv(der::kInteger, kSerial)}));
    const Bytes emptySerial = Tlv(der::kSequence, Cat({kIssuer, Tlv(der::kInteger, {})}));
    struct Case {
        const char* what;
        Bytes entry;
        EntryStatus expected;
    } cases[] = {
        {"version 2", Entry(Tlv(der::kInteger, {0x02}), kIssuerAndSerial, kRsa, kWrapped), EntryStatus::kMalformed},
        {"negative version", Entry(Tlv(der::kInteger, {0xFF}), kIssuerAndSerial, kRsa, kWrapped),
         EntryStatus::kMalformed},
        {"no wrapped key", Entry(kVersion0, kIssuerAndSerial, kRsa, {}), EntryStatus::kMalformed},
        {"key not an OCTET STRING", Entry(kVersion0, kIssuerAndSerial, kRsa, Tlv(der::kSet, kKey)),
         EntryStatus::kMalformed},
        {"algorithm not a SEQUENCE", Entry(kVersion0, kIssuerAndSerial, Tlv(der::kSet, {}), kWrapped),
         EntryStatus::kMalformed},
        {"other key transport", Entry(kVersion0, kIssuerAndSerial, kOaep, kWrapped), EntryStatus::kUnknownKeyTransport},
        // The key transport is judged before the issuer and serial are read.
        {"other key transport, bad issuer", Entry(kVersion0, badIssuer, kOaep, kWrapped),
         EntryStatus::kUnknownKeyTransport},
        {"issuer not a SEQUENCE", Entry(kVersion0, badIssuer, kRsa, kWrapped), EntryStatus::kMalformed},
        {"empty serial", Entry(kVersion0, emptySerial, kRsa, kWrapped), EntryStatus::kMalformed},
    };
    const Bytes good = Entry(kVersion0, kIssuerAndSerial, kRsa, kWrapped);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes set = Cat({c.entry, good});
        der::Reader reader(set);
        recipient_set::Entry entry;
        EXPECT_EQ(recipient_set::ReadEntry(reader, entry), c.expected);
        // The walk goes on with the next entry.
        EXPECT_EQ(recipient_set::ReadEntry(reader, entry), EntryStatus::kRead);
        EXPECT_TRUE(reader.empty());
    }
}

TEST(RecipientSet, AnElementThatIsNoEntryStopsTheWalk) {
    const Bytes good = Entry(kVersion0, kIssuerAndSerial, kRsa, kWrapped);
    const Bytes truncated(good.begin(), good.end() - 1);
    const Bytes other = Tlv(0xA1, {0x05, 0x00});  // a key agreement entry
    for (const Bytes& set : {truncated, other, Bytes{0x30, 0x80, 0x00, 0x00}}) {
        der::Reader reader(set);
        recipient_set::Entry entry;
        EXPECT_EQ(recipient_set::ReadEntry(reader, entry), recipient_set::EntryStatus::kNotAnEntry);
        EXPECT_EQ(reader.size(), set.size());
    }
}

}  // namespace
