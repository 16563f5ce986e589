#include "format/recipient_set.h"

#include <cstring>

#include "format/algorithms.h"

namespace recipient_set {

namespace {

bool IsRsaKeyTransport(const der::Reader& algorithm) {
    const auto& expected = envelope_bytes::kKeyTransportAlgorithm;
    return algorithm.size() == sizeof expected && std::memcmp(algorithm.data(), expected, sizeof expected) == 0;
}

// The four fields in order; the version is checked only after all of them were read, so that a
// damaged entry of another version is reported as malformed the same way.
EntryStatus ReadFields(der::Reader content, Entry& entry) {
    der::Reader issuerAndSerial, algorithmContent, nameContent;
    uint8_t tag = 0;
    if (!content.ReadSmallInteger(entry.version) || !content.ReadElement(der::kSequence, issuerAndSerial) ||
        !content.ReadAnyElement(tag, algorithmContent, &entry.keyEncryptionAlgorithm) || tag != der::kSequence ||
        !content.ReadElement(der::kOctetString, entry.encryptedKey))
        return EntryStatus::kMalformed;
    if (entry.version != 0) return EntryStatus::kMalformed;
    if (!IsRsaKeyTransport(entry.keyEncryptionAlgorithm)) return EntryStatus::kUnknownKeyTransport;
    if (!issuerAndSerial.ReadAnyElement(tag, nameContent, &entry.issuer) || tag != der::kSequence ||
        !issuerAndSerial.ReadElement(der::kInteger, entry.serial) || entry.serial.empty())
        return EntryStatus::kMalformed;
    return EntryStatus::kRead;
}

}  // namespace

EntryStatus ReadEntry(der::Reader& set, Entry& entry) {
    entry = Entry();
    der::Reader content;
    if (!set.ReadElement(der::kSequence, content)) return EntryStatus::kNotAnEntry;
    return ReadFields(content, entry);
}

}  // namespace recipient_set
