#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

#include "format/secret_bytes.h"

// The raw bytes of an exportable session key, through a PLAINTEXTKEYBLOB (wiped). False with the last
// error set when the key does not export or the blob is not one.
bool ExportPlainKey(HCRYPTKEY key, SecretBytes& bytes);

// A session key of the provider from its raw bytes (a PLAINTEXTKEYBLOB, wiped after the import).
bool ImportPlainKey(HCRYPTPROV provider, ALG_ID algId, const uint8_t* key, size_t size, DWORD flags,
                    HCRYPTKEY* imported);
