// What both readers of signed content (the unpacker and the self-decoding program) take out of a
// signed message and its hashes.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <vector>

// The digest algorithm a SignerInfo names; 0 when it is not one we know.
ALG_ID SignerDigestAlgorithm(const CMSG_SIGNER_INFO* info);

// The hash's value; false with the last error on failure.
bool HashValue(HCRYPTHASH hash, std::vector<BYTE>& value);

// The signer's certificate: from the message's own certificates first, then the user's store (either
// may be null). A certificate from the message's store is a copy, so it outlives that store.
PCCERT_CONTEXT FindSignerCertificate(HCERTSTORE messageStore, HCERTSTORE userStore, const CMSG_SIGNER_INFO* info);
