#include "format/recipient_info.h"

#include <cstring>

namespace recipient_info {

namespace {

constexpr uint8_t kSubjectKeyIdTag = 0x80;  // [0] IMPLICIT OCTET STRING
constexpr uint8_t kKeyAgreementTag = 0xA1, kKekTag = 0xA2, kPasswordTag = 0xA3, kOtherTag = 0xA4;
constexpr uint8_t kOriginatorTag = 0xA0, kUkmTag = 0xA1, kRecipientKeyIdTag = 0xA0;

const uint8_t kOidRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const uint8_t kOidRsaOaep[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x07};

template <size_t N>
bool IsOid(const der::Reader& value, const uint8_t (&oid)[N]) {
    return value.size() == N && std::memcmp(value.data(), oid, N) == 0;
}

bool ReadIssuerAndSerial(der::Reader& fields, Identifier& id) {
    der::Reader issuerAndSerial, nameContent;
    uint8_t tag = 0;
    if (!fields.ReadElement(der::kSequence, issuerAndSerial)) return false;
    // Bytes after the serial number are ignored, as in the envelopes this system writes.
    return issuerAndSerial.ReadAnyElement(tag, nameContent, &id.issuer) && tag == der::kSequence &&
           issuerAndSerial.ReadElement(der::kInteger, id.serial) && !id.serial.empty();
}

// RecipientIdentifier of key transport: issuerAndSerialNumber or [0] subjectKeyIdentifier.
bool ReadTransportIdentifier(der::Reader& fields, Identifier& id) {
    uint8_t tag = 0;
    if (!fields.PeekTag(tag)) return false;
    id.bySubjectKeyId = tag == kSubjectKeyIdTag;
    if (id.bySubjectKeyId) return fields.ReadElement(kSubjectKeyIdTag, id.subjectKeyId) && !id.subjectKeyId.empty();
    return ReadIssuerAndSerial(fields, id);
}

KeyTransport ClassifyKeyTransport(der::Reader algorithm, rsa_padding::OaepParameters& oaep) {
    der::Reader content, oid, null;
    if (!algorithm.ReadElement(der::kSequence, content) || !content.ReadElement(der::kOid, oid))
        return KeyTransport::kUnknown;
    if (IsOid(oid, kOidRsaEncryption)) {
        bool nullOrNothing = content.empty() || (content.ReadElement(der::kNull, null) && null.empty() && content.empty());
        return nullOrNothing ? KeyTransport::kRsaPkcs1 : KeyTransport::kUnknown;
    }
    if (IsOid(oid, kOidRsaOaep) &&
        rsa_padding::ReadOaepParameters(content.data(), content.size(), oaep) == rsa_padding::Status::kOk)
        return KeyTransport::kRsaOaep;
    return KeyTransport::kUnknown;
}

bool ReadAlgorithm(der::Reader& fields, der::Reader& whole) {
    der::Reader content;
    uint8_t tag = 0;
    return fields.ReadAnyElement(tag, content, &whole) && tag == der::kSequence;
}

EntryStatus ReadKeyTransport(der::Reader fields, Entry& entry) {
    Identifier id;
    if (!fields.ReadSmallInteger(entry.version) || !ReadTransportIdentifier(fields, id) ||
        !ReadAlgorithm(fields, entry.keyEncryptionAlgorithm) ||
        !fields.ReadElement(der::kOctetString, entry.encryptedKey))
        return EntryStatus::kMalformed;
    // Version 0 goes with the issuer and serial number, version 2 with the key identifier.
    if (entry.version != (id.bySubjectKeyId ? 2u : 0u)) return EntryStatus::kMalformed;
    entry.recipients.push_back(id);
    entry.transport = ClassifyKeyTransport(entry.keyEncryptionAlgorithm, entry.oaep);
    return EntryStatus::kRead;
}

// RecipientEncryptedKey: rid (issuerAndSerialNumber or [0] RecipientKeyIdentifier), encryptedKey.
bool ReadAgreementRecipient(der::Reader encryptedKey, Identifier& id) {
    uint8_t tag = 0;
    der::Reader key;
    if (!encryptedKey.PeekTag(tag)) return false;
    if (tag == kRecipientKeyIdTag) {
        der::Reader keyId;
        id.bySubjectKeyId = true;
        // The date and other attribute after the identifier do not name the recipient.
        if (!encryptedKey.ReadElement(kRecipientKeyIdTag, keyId) ||
            !keyId.ReadElement(der::kOctetString, id.subjectKeyId) || id.subjectKeyId.empty())
            return false;
    } else if (!ReadIssuerAndSerial(encryptedKey, id)) {
        return false;
    }
    return encryptedKey.ReadElement(der::kOctetString, key);
}

EntryStatus ReadKeyAgreement(der::Reader fields, Entry& entry) {
    der::Reader originator, ukm, keys;
    bool hasUkm = false;
    if (!fields.ReadSmallInteger(entry.version) || !fields.ReadElement(kOriginatorTag, originator) ||
        !fields.ReadOptionalElement(kUkmTag, ukm, hasUkm) || !ReadAlgorithm(fields, entry.keyEncryptionAlgorithm) ||
        !fields.ReadElement(der::kSequence, keys))
        return EntryStatus::kMalformed;
    while (!keys.empty()) {
        der::Reader encryptedKey;
        Identifier id;
        if (!keys.ReadElement(der::kSequence, encryptedKey) || !ReadAgreementRecipient(encryptedKey, id))
            return EntryStatus::kMalformed;
        entry.recipients.push_back(id);
    }
    return EntryStatus::kRead;
}

// KEK and password entries: version, then the field before the algorithm is skipped.
EntryStatus ReadVersionAndAlgorithm(der::Reader fields, Entry& entry, bool skipOneField) {
    uint8_t tag = 0;
    der::Reader skipped;
    if (!fields.ReadSmallInteger(entry.version)) return EntryStatus::kMalformed;
    if (skipOneField && !fields.ReadAnyElement(tag, skipped)) return EntryStatus::kMalformed;
    // pwri's keyDerivationAlgorithm [0] is optional and stands before the key encryption algorithm.
    if (!skipOneField && fields.PeekTag(tag) && tag == 0xA0 && !fields.ReadAnyElement(tag, skipped))
        return EntryStatus::kMalformed;
    return ReadAlgorithm(fields, entry.keyEncryptionAlgorithm) ? EntryStatus::kRead : EntryStatus::kMalformed;
}

}  // namespace

EntryStatus ReadEntry(der::Reader& set, Entry& entry) {
    entry = Entry();
    uint8_t tag = 0;
    der::Reader content;
    if (!set.ReadAnyElement(tag, content)) return EntryStatus::kNotAnEntry;
    switch (tag) {
    case der::kSequence:
        entry.kind = Kind::kKeyTransport;
        return ReadKeyTransport(content, entry);
    case kKeyAgreementTag:
        entry.kind = Kind::kKeyAgreement;
        return ReadKeyAgreement(content, entry);
    case kKekTag:
        entry.kind = Kind::kKek;
        return ReadVersionAndAlgorithm(content, entry, true);
    case kPasswordTag:
        entry.kind = Kind::kPassword;
        return ReadVersionAndAlgorithm(content, entry, false);
    case kOtherTag:
        entry.kind = Kind::kOther;
        return EntryStatus::kRead;
    default:
        return EntryStatus::kMalformed;
    }
}

}  // namespace recipient_info
