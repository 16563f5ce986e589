// The pieces of an envelope that come from the cryptographic service: the session key and its
// parameters, the RecipientInfo of one recipient and the SignerInfo of one signer.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/signed_parts.h"
#include "pack/envelope_writer.h"

// A session key of the algorithm and length, exportable. Only RC4 may carry a salt (when asked
// for): any other salt would reach no recipient, so every other key is made without one.
bool GenerateSessionKey(HCRYPTPROV provider, ALG_ID algorithm, DWORD keyBits, bool rc4Salt, KeyHandle& key);


// KP_BLOCKLEN in bits; 0 for a stream cipher or when the key cannot tell.
DWORD KeyBlockBits(HCRYPTKEY key);
inline DWORD CipherBlockBytes(HCRYPTKEY key) { return KeyBlockBits(key) / 8; }

// Sets CBC mode and, when asked, a random IV; then the AlgorithmIdentifier parameters of the key:
// RC2-CBC-Parameter, the IV or salt as an OCTET STRING, or 05 00 when the key has none.
bool PrepareKeyParameters(HCRYPTPROV provider, HCRYPTKEY key, ALG_ID algorithm, DWORD keyBits, bool createIv,
                          std::vector<BYTE>& parameters);

// How the session key is wrapped for an RSA recipient: PKCS #1 v1.5, which every peer reads, or
// RSA-OAEP with SHA-1 (the parameters' defaults), which CryptoAPI makes everywhere.
enum class KeyTransport : DWORD { kRsaPkcs1 = 0, kRsaOaep = 1 };

// The session key wrapped for the certificate's public key, as one encoded RecipientInfo.
bool EncodeRecipientInfo(HCRYPTPROV provider, HCRYPTKEY sessionKey, PCCERT_CONTEXT certificate,
                         KeyTransport transport, std::vector<BYTE>& recipientInfo);

// The dotted OID a SignerInfo names for a signing hash (MD5, SHA-1, SHA-256/384/512); null for any
// other algorithm.
const char* DigestOid(ALG_ID hashAlgorithm);

// The digest algorithms SET naming the signing hash, with NULL parameters; empty for a hash
// DigestOid does not know.
std::vector<BYTE> DigestSet(ALG_ID hashAlgorithm);

// Size of the signer's SignerInfo, learnt from a trial signature of the same length as the real
// one (and its encrypted length when encrypted is set, with cipherBlockBytes of the content key).
bool TrialSignerInfoSize(const SignerEntry& signer, ALG_ID hashAlgorithm, DWORD cipherBlockBytes,
                         bool encrypted, DWORD& size);

// The signer's SignerInfo over the digest; with a content key the signature is encrypted with it.
bool EncodeSignedSignerInfo(const SignerEntry& signer, ALG_ID hashAlgorithm, const std::vector<BYTE>& digest,
                            HCRYPTKEY contentKey, std::vector<BYTE>& signerInfo);
