// The RecipientInfos SET of an envelope, read one entry at a time: version 0 with
// issuerAndSerialNumber, the key transport algorithm and the wrapped session key.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstdint>

#include "format/der.h"

namespace recipient_set {

// One RecipientInfo; the views point into the SET content.
struct Entry {
    uint32_t version = 0;
    der::Reader issuer;                  // the whole Name element (tag, length, content)
    der::Reader serial;                  // INTEGER content, most significant byte first, never empty
    der::Reader keyEncryptionAlgorithm;  // the whole AlgorithmIdentifier element
    der::Reader encryptedKey;            // OCTET STRING content
};

enum class EntryStatus {
    kRead,
    kNotAnEntry,           // the next element is not a whole SEQUENCE: the set cannot be walked further
    kMalformed,            // the entry was skipped: a field is missing, mis-tagged, or the version is not 0
    kUnknownKeyTransport,  // the entry was skipped: its key transport is not rsaEncryption with NULL
};

// Reads the next entry of the SET content and advances past it, also when the entry itself is
// refused; kNotAnEntry leaves the set where it was. Bytes after the fields inside an entry are
// ignored, as are bytes after the serial number.
EntryStatus ReadEntry(der::Reader& set, Entry& entry);

}  // namespace recipient_set
