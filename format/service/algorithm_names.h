#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

// Display text of an algorithm from its ALG_ID and/or dotted OID; the OID text itself when the
// table has no row for it.
std::wstring AlgorithmDisplayName(ALG_ID algId, const char* dottedOid);

// Display text of AES in GCM mode ("AES-256 GCM") from the ALG_ID of its key length.
std::wstring GcmDisplayName(ALG_ID algId);
