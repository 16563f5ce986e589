// Names of the key transport per recipient, from entries OpenSSL 3 wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/algorithms.h"
#include "format/recipient_names.h"
#include "tests/format/der_bytes.h"
#include "tests/format/modern_fixtures.h"

namespace {

using test_der::Bytes;
using test_der::FromHex;

std::vector<std::string> NamesOf(const char* hex) {
    const Bytes set = FromHex(hex);
    der::Reader reader(set);
    std::vector<std::string> names;
    while (!reader.empty()) {
        recipient_info::Entry entry;
        if (recipient_info::ReadEntry(reader, entry) != recipient_info::EntryStatus::kRead) break;
        der::Reader algorithm = entry.keyEncryptionAlgorithm, content, oid;
        std::vector<uint8_t> oidBytes;
        if (algorithm.ReadElement(der::kSequence, content) && content.ReadElement(der::kOid, oid))
            oidBytes.assign(oid.data(), oid.data() + oid.size());
        names.push_back(recipient_names::KeyTransportName(entry.kind, entry.transport, entry.oaep, oidBytes));
    }
    return names;
}

TEST(RecipientNames, NameEachKindOfEntry) {
    EXPECT_EQ(NamesOf(modern_fixtures::kRecipientsOaep),
              (std::vector<std::string>{"RSA (PKCS #1 v1.5)", "RSA-OAEP (SHA-1)"}));
    // Key identifiers with OAEP SHA-1 and SHA-256, key agreement, and a KEK wrapped with AES-128.
    EXPECT_EQ(NamesOf(modern_fixtures::kRecipientsAllKinds),
              (std::vector<std::string>{"RSA-OAEP (SHA-1)", "RSA-OAEP (SHA-256)", "ECDH", "2.16.840.1.101.3.4.1.5"}));
}

TEST(RecipientNames, MaskHashIsNamedOnlyWhereItDiffers) {
    rsa_padding::OaepParameters oaep;
    oaep.hash = alg::kSha384;
    oaep.mgf1Hash = alg::kSha1;
    EXPECT_EQ(recipient_names::KeyTransportName(recipient_info::Kind::kKeyTransport,
                                                recipient_info::KeyTransport::kRsaOaep, oaep, {}),
              "RSA-OAEP (SHA-384, MGF1 SHA-1)");
    EXPECT_EQ(recipient_names::HashName(alg::kSha512), "SHA-512");
    EXPECT_EQ(recipient_names::HashName(0x8003), "");  // MD5 is no OAEP hash
    const uint8_t keyId[] = {0x00, 0x1F, 0xA0, 0xFF};
    EXPECT_EQ(recipient_names::HexText(keyId, sizeof keyId), "001FA0FF");
}

}  // namespace
