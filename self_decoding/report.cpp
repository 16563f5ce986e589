#include "self_decoding/report.h"

#include "self_decoding/texts.h"

namespace quendrix {

namespace {

constexpr UINT kCaptionText = 503;
constexpr UINT kInvalidSignaturesText = 765;
constexpr UINT kDecodedText = 766;
constexpr UINT kAllValidText = 767;
constexpr UINT kNotVerifiedText = 768;
constexpr UINT kNotExecutedText = 769;
constexpr UINT kNotExtractedText = 770;
constexpr UINT kReadFailedText = 772;
constexpr UINT kCreateFailedText = 773;
constexpr UINT kOpenFailedText = 774;
constexpr UINT kWriteFailedText = 775;
constexpr UINT kDecodeFailedText = 776;

// Codes that mean the name or path itself is wrong, not the data.
bool IsNameError(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_TOO_MANY_OPEN_FILES ||
           code == ERROR_ACCESS_DENIED || code == ERROR_FILE_EXISTS || code == ERROR_CANNOT_MAKE;
}

// A file fault names the file in the text and adds the system's words for the code below it.
std::string FileErrorText(UINT id, const std::string& path, DWORD code) {
    return FormatText(id, path.c_str()) + "\r\n" + SystemMessage(code);
}

}  // namespace

Report BuildReport(const DecodeStatus& status) {
    Report report;
    // A read or write error still at its initial 0xFFFFFFFF means the step never succeeded either (a
    // program without a payload never gets as far as its directory), so it is reported like any other.
    if (status.readError != 0) {
        report.icon = MB_ICONERROR;
        report.text = FileErrorText(IsNameError(status.readError) ? kOpenFailedText : kReadFailedText,
                                    status.inputPath, status.readError);
        return report;
    }
    if (status.writeError != 0) {
        report.icon = MB_ICONERROR;
        report.text = FileErrorText(IsNameError(status.writeError) ? kCreateFailedText : kWriteFailedText,
                                    status.outputPath, status.writeError);
        return report;
    }
    const DWORD type = status.outerContentType;
    const bool decompressFailed = status.compressedContent && status.decompressStatus != 0;
    std::string decodePart;
    // Kind 0 is an envelope whose header could not be read: without its decode part the report
    // would be an empty box.
    if (type == 3 || type == 4 || type == 0) {
        if (status.jobResult != 0 || status.finalBlockStatus != 0) {
            report.icon = MB_ICONERROR;
            if (status.jobResult == 0xFFFFFFFF) {
                decodePart = LoadText(kNotExecutedText);
            } else {
                DWORD code = status.jobResult != 0 ? status.jobResult : static_cast<DWORD>(status.finalBlockStatus);
                decodePart = FormatText(kDecodeFailedText, SystemMessage(code).c_str(), code,
                                        static_cast<int>(status.offset));
            }
        } else {
            decodePart = LoadText(kDecodedText);
            if (decompressFailed) decodePart += LoadText(kNotExtractedText);
        }
    }
    std::string signaturePart;
    if (type == 2 || type == 4) {
        if (status.signatureStatus == -1) {
            signaturePart = LoadText(kNotVerifiedText);
            report.icon = MB_ICONERROR;
        } else if (status.signatureStatus != 0) {
            signaturePart = FormatText(kInvalidSignaturesText,
                                       SystemMessage(static_cast<DWORD>(status.signatureStatus)).c_str());
            report.icon = MB_ICONERROR;
        } else {
            signaturePart = LoadText(kAllValidText);
            if (type == 2 && decompressFailed) signaturePart += LoadText(kNotExtractedText);
        }
    }
    if (decodePart.empty()) {
        report.text = status.signerText + signaturePart;
    } else if (signaturePart.empty()) {
        report.text = decodePart;
    } else {
        report.text = decodePart + "\r\n" + status.signerText + signaturePart;
    }
    return report;
}

std::string ReportCaption(const std::string& ownPath) {
    std::string caption = LoadText(kCaptionText).substr(0, 15);
    return caption + " - " + FileNamePart(ownPath);
}

}  // namespace quendrix
