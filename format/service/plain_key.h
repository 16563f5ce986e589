#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

// A session key of the provider from its raw bytes (a PLAINTEXTKEYBLOB, wiped after the import).
bool ImportPlainKey(HCRYPTPROV provider, ALG_ID algId, const uint8_t* key, size_t size, DWORD flags,
                    HCRYPTKEY* imported);
