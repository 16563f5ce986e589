// Names of how a recipient entry carries the session key, as the reports show them beside the
// content cipher: "RSA (PKCS #1 v1.5)", "RSA-OAEP (SHA-256)", "ECDH". The same in every language.
// No platform types here: this file builds natively for fast tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "format/recipient_info.h"

namespace recipient_names {

// "SHA-1", "SHA-256", "SHA-384", "SHA-512" for the hash ALG_IDs; empty for any other.
std::string HashName(uint32_t algId);

// The key transport of a key transport entry, or the key encryption of another kind: for key
// agreement "ECDH", for KEK and password entries the key wrap algorithm's dotted OID; empty when
// nothing is known (other entries).
std::string KeyTransportName(recipient_info::Kind kind, recipient_info::KeyTransport transport,
                             const rsa_padding::OaepParameters& oaep, const std::vector<uint8_t>& algorithmOid);

// Upper-case hex of a key identifier, two digits per byte without separators.
std::string HexText(const uint8_t* data, size_t size);

}  // namespace recipient_names
