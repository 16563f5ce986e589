// Reads one packed file: header, recipients, session key, content, signatures.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "unpack/unpack_job.h"
#include "unpack/unpack_settings.h"
#include "unpack/unpack_view.h"

// E_FAIL without settings, store or input path (job untouched); 1 when the job ended before the
// content phase; otherwise 0 with the outcome in the job's fields.
LONG ReadEnvelope(IProgressDialog* progress, UnpackSettings* settings, UnpackJob* job, UnpackView* view);

// Why the recipients meant for this user cannot be opened here (the job's recipientRefusal), in
// words; empty for none.
std::wstring RecipientRefusalText(BYTE refusal, ALG_ID hash);
