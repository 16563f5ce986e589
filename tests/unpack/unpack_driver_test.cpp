#include "unpack/unpack_driver.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include "format/service/resources.h"
#include "format/service/signature_check.h"
#include "pack/messages.h"
#include "tests/support/test_support.h"
#include "unpack/decode_data.h"

namespace {

TEST(UnpackOutputPath, DropsTheLastExtensionAndGzipMarker) {
    bool compressed = true;
    EXPECT_EQ(UnpackOutputPath(L"C:\\d\\a.txt.pkcs7", L"", false, compressed), L"C:\\d\\a.txt");
    EXPECT_FALSE(compressed);
    EXPECT_EQ(UnpackOutputPath(L"C:\\d\\a.txt.gz.pkcs7", L"", false, compressed), L"C:\\d\\a.txt");
    EXPECT_TRUE(compressed);
    // The marker is compared with case.
    EXPECT_EQ(UnpackOutputPath(L"C:\\d\\a.GZ.pkcs7", L"", false, compressed), L"C:\\d\\a.GZ");
    EXPECT_FALSE(compressed);
    // A dot in a folder name is not an extension.
    EXPECT_EQ(UnpackOutputPath(L"C:\\d.v2\\readme", L"", false, compressed), L"C:\\d.v2\\readme");
    // ".gz" at the very start of the path is not taken as the marker.
    EXPECT_EQ(UnpackOutputPath(L".gz.pkcs7", L"", false, compressed), L".gz");
    EXPECT_FALSE(compressed);
}

TEST(UnpackOutputPath, FolderAndWorkingDirectory) {
    bool compressed = false;
    EXPECT_EQ(UnpackOutputPath(L"C:\\in\\report.docx.pkcs7", L"D:\\out", false, compressed), L"D:\\out\\report.docx");
    EXPECT_EQ(UnpackOutputPath(L"C:\\in\\report.docx.pkcs7", L"", true, compressed), L"report.docx");
    EXPECT_EQ(UnpackOutputPath(L"C:\\in\\b.bin.gz.pkcs7", L"D:\\out", true, compressed), L"D:\\out\\b.bin");
    EXPECT_TRUE(compressed);
}

// A job of an envelopedData file that went through without an error.
void MakeEnveloped(UnpackJob& job, BYTE mode) {
    job.decodeMode = mode;
    job.readError = 0;
    job.writeError = 0;
    job.jobResult = 0;
    job.finalBlockStatus = 0;
    job.outerContentType = 3;
    job.innerContentType = 255;
}

TEST(UnpackResultText, SuccessAndCompressionFailure) {
    UINT style = 0;
    bool aboutOutput = true;
    UnpackJob job;
    MakeEnveloped(job, kModeUnpack);
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), LoadText(766));
    EXPECT_EQ(style, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_FALSE(aboutOutput);
    job.compressedContent = 1;
    job.decompressStatus = -128;
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), LoadText(766) + LoadText(770));
}

TEST(UnpackResultText, DecryptionFailureCarriesCodeAndOffset) {
    UINT style = 0;
    bool aboutOutput = false;
    UnpackJob job;
    MakeEnveloped(job, kModeUnpack);
    job.jobResult = 0x8009200C;  // CRYPT_E_NO_DECRYPT_CERT
    job.offset = 42;
    std::wstring text = UnpackResultText(job, style, aboutOutput);
    std::wstring expected;
    FormatSystemMessage(expected, nullptr, 776, 0x8009200C, 42);
    EXPECT_EQ(text, expected);
    EXPECT_NE(text.find(L"0x8009200C"), std::wstring::npos);
    EXPECT_NE(text.find(L"42"), std::wstring::npos);
    EXPECT_EQ(style, static_cast<UINT>(MB_ICONERROR));
}

TEST(UnpackResultText, DamagedGcmFileSaysSoInWords) {
    const struct {
        DWORD result;
        const wchar_t* text;
    } cases[] = {
        {kResultTagMismatch, L"Файл поврежден или изменен: код проверки подлинности не совпадает."},
        {kResultTagMissing, L"Файл поврежден или изменен: код проверки подлинности не найден."},
    };
    for (const auto& c : cases) {
        UINT style = 0;
        bool aboutOutput = false;
        UnpackJob job;
        MakeEnveloped(job, kModeUnpack);
        job.jobResult = c.result;
        job.finalBlockStatus = -1;
        EXPECT_EQ(UnpackResultText(job, style, aboutOutput), c.text);
        EXPECT_EQ(style, static_cast<UINT>(MB_ICONERROR));
    }
}

TEST(UnpackResultText, SignedAndEnvelopedCombinesBothParts) {
    UINT style = 0;
    bool aboutOutput = false;
    UnpackJob job;
    MakeEnveloped(job, kModeUnpack);
    job.outerContentType = 4;
    job.signatureStatus = 0;
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), LoadText(766) + L"\r\n" + LoadText(767));
    job.signatureStatus = -1;
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), LoadText(766) + L"\r\n" + LoadText(768));
    EXPECT_EQ(style, static_cast<UINT>(MB_ICONERROR));
}

TEST(UnpackResultText, SignatureNotSupportedIsAWarningOfItsOwn) {
    UINT style = 0;
    bool aboutOutput = false;
    UnpackJob job;
    MakeEnveloped(job, kModeUnpack);
    job.innerContentType = 2;
    job.signatureStatus = kSignatureNotSupported;
    const std::wstring notSupported = LoadText(785);
    EXPECT_NE(notSupported.find(L"алгоритм не поддерживается"), std::wstring::npos);
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), LoadText(766) + L"\r\n" + notSupported);
    EXPECT_EQ(style, static_cast<UINT>(MB_ICONWARNING));
}

TEST(UnpackResultText, ReadAndWriteErrors) {
    UINT style = 0;
    bool aboutOutput = false;
    UnpackJob job;
    job.readError = ERROR_FILE_NOT_FOUND;
    std::wstring expected;
    FormatSystemMessage(expected, nullptr, 774, ERROR_FILE_NOT_FOUND, 0);
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), expected);

    UnpackJob never;  // a job that never ran reports a read failure
    FormatSystemMessage(expected, nullptr, 772, 0xFFFFFFFF, 0);
    EXPECT_EQ(UnpackResultText(never, style, aboutOutput), expected);

    UnpackJob writing;
    MakeEnveloped(writing, kModeUnpack);
    writing.writeError = ERROR_DISK_FULL;
    FormatSystemMessage(expected, nullptr, 775, ERROR_DISK_FULL, 0);
    EXPECT_EQ(UnpackResultText(writing, style, aboutOutput), expected);
    EXPECT_TRUE(aboutOutput);
}

TEST(UnpackResultText, DescribeModeWithoutOutcomeShowsNothing) {
    UINT style = 0;
    bool aboutOutput = false;
    UnpackJob job;
    MakeEnveloped(job, kModeDescribe);
    job.finalBlockStatus = -1;
    EXPECT_EQ(UnpackResultText(job, style, aboutOutput), L"");
}

TEST(UnpackResultText, NonEnvelopeIsReportedAsFailure) {
    UINT style = 0;
    bool aboutOutput = false;
    UnpackJob job;
    job.readError = 0;
    job.writeError = 0;
    job.jobResult = 0x80091002;  // CRYPT_E_UNKNOWN_ALGO, before any content type was known
    std::wstring text = UnpackResultText(job, style, aboutOutput);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.find(L"0x80091002"), std::wstring::npos);
    EXPECT_EQ(style, static_cast<UINT>(MB_ICONERROR));
}

TEST(DecodeData, HandsTheBlockOverOnce) {
    DecodeData data(BuildDropFilesBlock({L"C:\\a.pkcs7", L"C:\\b c.pkcs7"}));
    FORMATETC wrong = {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    EXPECT_EQ(data.GetData(&wrong, &medium), DV_E_FORMATETC);
    EXPECT_EQ(data.GetData(nullptr, &medium), E_INVALIDARG);

    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    ASSERT_EQ(data.GetData(&format, &medium), S_OK);
    auto drop = static_cast<HDROP>(medium.hGlobal);
    ASSERT_EQ(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0), 2u);
    wchar_t name[MAX_PATH];
    DragQueryFileW(drop, 1, name, MAX_PATH);
    EXPECT_STREQ(name, L"C:\\b c.pkcs7");
    ReleaseStgMedium(&medium);

    STGMEDIUM again = {};
    EXPECT_EQ(data.GetData(&format, &again), DV_E_FORMATETC);
}

// Records what would have been shown and answers with the safe button.
class RecordingSink : public MessageSink {
public:
    RecordingSink() { previous_ = SetMessageSink(this); }
    ~RecordingSink() override { SetMessageSink(previous_); }
    int Answer(HWND, const std::wstring& text, const std::wstring&, UINT style) override {
        texts.push_back(text);
        return SafeAnswer(style);
    }
    std::vector<std::wstring> texts;

private:
    MessageSink* previous_;
};

TEST(UnpackSelection, RefusesADataObjectWithoutNames) {
    RecordingSink sink;
    DecodeData empty(BuildDropFilesBlock({}));
    EXPECT_EQ(UnpackSelection(&empty, nullptr, kModeUnpack, FALSE, FALSE), E_FAIL);
    DecodeData none(nullptr);
    EXPECT_EQ(UnpackSelection(&none, nullptr, kModeUnpack, FALSE, FALSE), E_FAIL);
    for (const std::wstring& text : sink.texts) ADD_FAILURE() << testing_support::Narrow(text);
}

// Two envelopes of one run that name the same output: the first, which fails, takes its output
// away at once, so that the second is written and kept.
TEST(UnpackSelection, AFailedFileFreesItsOutputNameForTheNextOne) {
    testing_support::TempDir dir;
    const std::wstring foreign = dir.File(L"data.bin.pkcs7"), good = dir.File(L"data.bin.gz.pkcs7");
    ASSERT_TRUE(CopyFileW(testing_support::TestDataFile(L"reader-stranger-des3.pkcs7").c_str(), foreign.c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(testing_support::TestDataFile(L"reader-alice-aes128.gz.pkcs7").c_str(), good.c_str(), TRUE));
    RecordingSink sink;
    DecodeData data(BuildDropFilesBlock({foreign, good}));
    EXPECT_EQ(UnpackSelection(&data, nullptr, kModeUnpack, FALSE, FALSE), S_OK);
    EXPECT_TRUE(testing_support::ReadFileBytes(dir.File(L"data.bin")) ==
                testing_support::ReadFileBytes(testing_support::TestDataFile(L"reader-plain-100k.bin")));
}

}  // namespace
