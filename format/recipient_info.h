// The RecipientInfo choices of CMS (RFC 5652) as today's peers write them: key transport to a
// recipient named by issuer and serial number (version 0) or by subject key identifier
// (version 2), with rsaEncryption or RSA-OAEP; key agreement, KEK, password and other recipients
// are recognised so that they can be listed, but they are not for this system to open.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstdint>
#include <vector>

#include "format/der.h"
#include "format/rsa_padding_params.h"

namespace recipient_info {

enum class Kind { kKeyTransport, kKeyAgreement, kKek, kPassword, kOther };

// How a certificate is named: issuer Name and serial number, or a subject key identifier.
struct Identifier {
    bool bySubjectKeyId = false;
    der::Reader issuer;           // the whole Name element (issuer and serial form)
    der::Reader serial;           // INTEGER content, never empty (issuer and serial form)
    der::Reader subjectKeyId;     // OCTET STRING content (key identifier form)
};

enum class KeyTransport {
    kRsaPkcs1,  // rsaEncryption, NULL or no parameters
    kRsaOaep,   // id-RSAES-OAEP with the parameters in oaep
    kUnknown,   // another algorithm, or OAEP parameters this system cannot use
};

struct Entry {
    Kind kind = Kind::kOther;
    uint32_t version = 0;
    // Key transport: the one recipient. Key agreement: every recipient of the entry's keys.
    std::vector<Identifier> recipients;
    der::Reader keyEncryptionAlgorithm;  // the whole AlgorithmIdentifier element (not for kOther)
    KeyTransport transport = KeyTransport::kUnknown;  // key transport only
    rsa_padding::OaepParameters oaep;                 // kRsaOaep only
    der::Reader encryptedKey;                         // key transport: OCTET STRING content
};

enum class EntryStatus {
    kRead,
    kNotAnEntry,  // the next bytes are no whole element: the set cannot be walked further
    kMalformed,   // the entry was skipped: a field is missing or mis-tagged, or version and name disagree
};

// Reads the next entry of a RecipientInfos SET content and advances past it, also when the entry
// itself is refused; kNotAnEntry leaves the set where it was.
EntryStatus ReadEntry(der::Reader& set, Entry& entry);

// The entry is key transport with an RSA padding this system can undo.
inline bool IsKeyTransportToRsa(const Entry& entry) {
    return entry.kind == Kind::kKeyTransport && entry.transport != KeyTransport::kUnknown;
}

}  // namespace recipient_info
