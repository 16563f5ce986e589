#include "self_decoding/report.h"

#include <gtest/gtest.h>

namespace {

using quendrix::BuildReport;
using quendrix::DecodeStatus;
using quendrix::Report;

DecodeStatus Decoded(DWORD type) {
    DecodeStatus status;
    status.inputPath = "C:\\in\\payload.exe";
    status.readError = 0;
    status.writeError = 0;
    status.jobResult = 0;
    status.finalBlockStatus = 0;
    status.outerContentType = type;
    return status;
}

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

// The codes that mean a wrong name or path get the "open"/"create" texts, every other code the
// "read"/"write" texts.
TEST(QuendrixReport, FileErrorsChooseTheirTextByCode) {
    struct Case {
        DWORD code;
        const char* readText;
        const char* writeText;
    };
    const char* kOpen = "Cannot open file.\r\nC:\\in\\payload.exe\r\nMake sure that the path";
    const char* kRead = "Cannot read data from file.\r\nC:\\in\\payload.exe\r\n";
    const char* kCreate = "Cannot create file.\r\nC:\\out\\a.txt\r\nMake sure";
    const char* kWrite = "Cannot write data to file.\r\nC:\\out\\a.txt\r\n";
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, kOpen, kCreate}, {ERROR_PATH_NOT_FOUND, kOpen, kCreate},
        {ERROR_TOO_MANY_OPEN_FILES, kOpen, kCreate}, {ERROR_ACCESS_DENIED, kOpen, kCreate},
        {ERROR_FILE_EXISTS, kOpen, kCreate}, {ERROR_CANNOT_MAKE, kOpen, kCreate},
        {ERROR_ALREADY_ASSIGNED, kRead, kWrite}, {ERROR_CRC, kRead, kWrite}, {ERROR_DISK_FULL, kRead, kWrite},
    };
    for (const Case& c : cases) {
        DecodeStatus status = Decoded(3);
        status.jobResult = CRYPT_E_FILE_ERROR;
        status.outputPath = "C:\\out\\a.txt";
        status.readError = c.code;
        Report report = BuildReport(status);
        EXPECT_TRUE(StartsWith(report.text, c.readText)) << c.code << ": " << report.text;
        EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONERROR));
        status.readError = 0;
        status.writeError = c.code;
        report = BuildReport(status);
        EXPECT_TRUE(StartsWith(report.text, c.writeText)) << c.code << ": " << report.text;
    }
}

TEST(QuendrixReport, WriteErrorsNameTheOutputAndNothingElse) {
    DecodeStatus status = Decoded(4);
    status.writeError = ERROR_FILE_EXISTS;
    status.outputPath = "C:\\out\\a.txt";
    status.signerText = "File is digitally signed by:\r\n";
    Report report = BuildReport(status);
    EXPECT_TRUE(StartsWith(report.text, "Cannot create file.\r\nC:\\out\\a.txt\r\nMake sure")) << report.text;
    EXPECT_EQ(report.text.find("signed"), std::string::npos);
    status.writeError = ERROR_DISK_FULL;
    report = BuildReport(status);
    EXPECT_TRUE(StartsWith(report.text, "Cannot write data to file.\r\nC:\\out\\a.txt")) << report.text;
    EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONERROR));
}

TEST(QuendrixReport, SuccessOfAnEnvelope) {
    Report report = BuildReport(Decoded(3));
    EXPECT_EQ(report.text, "File is decoded successfully.");
    EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONINFORMATION));
}

TEST(QuendrixReport, FailedDecompressionIsAdded) {
    DecodeStatus status = Decoded(3);
    status.compressedContent = 1;
    status.decompressStatus = -129;
    EXPECT_EQ(BuildReport(status).text, "File is decoded successfully.\r\nUnable to extract file.");
    status.decompressStatus = 0;
    EXPECT_EQ(BuildReport(status).text, "File is decoded successfully.");
}

TEST(QuendrixReport, SignedAndEnvelopedListsTheSigners) {
    DecodeStatus status = Decoded(4);
    status.signatureStatus = 0;
    status.signerText = "SIGNERS\r\n";
    Report report = BuildReport(status);
    EXPECT_EQ(report.text, "File is decoded successfully.\r\nSIGNERS\r\nDigital signature(s) for all signers are valid.");
    EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONINFORMATION));
    status.signatureStatus = -1;
    report = BuildReport(status);
    EXPECT_EQ(report.text, "File is decoded successfully.\r\nSIGNERS\r\nDigital signature(s) are not veryfied yet.");
    EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONERROR));
    status.signatureStatus = NTE_BAD_SIGNATURE;
    report = BuildReport(status);
    EXPECT_TRUE(report.text.find("Digital signature for one or more signers is invalid.\r\n") != std::string::npos);
}

TEST(QuendrixReport, SignedDataHasNoDecodePart) {
    DecodeStatus status = Decoded(2);
    status.signatureStatus = 0;
    status.signerText = "SIGNERS\r\n";
    status.compressedContent = 1;
    status.decompressStatus = -128;
    EXPECT_EQ(BuildReport(status).text,
              "SIGNERS\r\nDigital signature(s) for all signers are valid.\r\nUnable to extract file.");
}

TEST(QuendrixReport, DecodeFaultsGiveCodeAndPoint) {
    DecodeStatus status = Decoded(3);
    status.jobResult = CRYPT_E_NO_DECRYPT_CERT;
    status.offset = 17;
    Report report = BuildReport(status);
    EXPECT_TRUE(StartsWith(report.text, "Cannot decode file.\r\n")) << report.text;
    EXPECT_NE(report.text.find("Error - 0x8009200C, at point 17."), std::string::npos) << report.text;
    EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONERROR));
    status.jobResult = 0;
    status.finalBlockStatus = NTE_BAD_DATA;
    EXPECT_NE(BuildReport(status).text.find("Error - 0x80090005"), std::string::npos);
    status.jobResult = 0xFFFFFFFF;
    EXPECT_EQ(BuildReport(status).text, "Decoding was not executed.");
}

// Errors still at their initial value: the step never succeeded, which is a file error too.
TEST(QuendrixReport, APayloadThatWasNeverFoundIsAFileError) {
    DecodeStatus status;  // nothing read: no directory behind the program
    status.inputPath = "C:\\in\\bare.exe";
    status.jobResult = CRYPT_E_FILE_ERROR;
    Report report = BuildReport(status);
    EXPECT_TRUE(StartsWith(report.text, "Cannot read data from file.\r\nC:\\in\\bare.exe\r\n")) << report.text;
    EXPECT_EQ(report.text.find("Cannot decode"), std::string::npos) << report.text;
    EXPECT_EQ(report.icon, static_cast<UINT>(MB_ICONERROR));
    status.readError = 0;  // a directory without entries: no output file could be made
    report = BuildReport(status);
    EXPECT_TRUE(StartsWith(report.text, "Cannot write data to file.\r\n")) << report.text;
}

// A header that could not be read leaves the kind unknown; the report still says why.
TEST(QuendrixReport, AnUnreadableHeaderIsADecodeFailure) {
    DecodeStatus status = Decoded(0);
    status.jobResult = CRYPT_E_BAD_ENCODE;
    EXPECT_TRUE(StartsWith(BuildReport(status).text, "Cannot decode file.\r\n")) << BuildReport(status).text;
}

TEST(QuendrixReport, CaptionIsTheNameAndTheProgramFile) {
    EXPECT_EQ(quendrix::ReportCaption("C:\\some folder\\report.exe"), "Quillarent - report.exe");
    EXPECT_EQ(quendrix::ReportCaption("plain.exe"), "Quillarent - plain.exe");
}

}  // namespace
