// The message the program shows after the decode, built from the decode status.
#pragma once
#include <windows.h>

#include <string>

#include "self_decoding/decode_status.h"

namespace quendrix {

struct Report {
    std::string text;
    UINT icon = MB_ICONINFORMATION;
};

Report BuildReport(const DecodeStatus& status);

// Caption: text 503, " - " and the file name part of the program's own path.
std::string ReportCaption(const std::string& ownPath);

}  // namespace quendrix
