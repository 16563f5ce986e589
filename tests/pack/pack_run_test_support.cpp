#include "tests/pack/pack_run_test_support.h"

#include <commdlg.h>
#include <dlgs.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "format/service/crypto_handles.h"
#include "tests/support/test_support.h"
#include "unpack/envelope_reader.h"
#include "unpack/unpack_job.h"
#include "unpack/unpack_settings.h"

namespace pack_run_test {

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

int RecordingSink::Answer(HWND, const std::wstring& text, const std::wstring&, UINT style) {
    texts.push_back(text);
    styles.push_back(style);
    if (answers.empty()) return defaultAnswer;
    int answer = answers.front();
    answers.pop_front();
    return answer;
}

bool RecordingSink::Saw(UINT stringId, const wchar_t* argument, DWORD error) const {
    std::wstring expected = MessageBoxText(stringId, argument, error);
    return std::find(texts.begin(), texts.end(), expected) != texts.end();
}

using testing_support::FindDescendant;

SaveDialogFiller::SaveDialogFiller(std::wstring name, std::vector<int> tick)
    : name_(std::move(name)), tick_(std::move(tick)), thread_([this] { Fill(); }) {}

SaveDialogFiller::~SaveDialogFiller() { thread_.join(); }

// Ready once the name box is there and, when lines are to be ticked, the certificate list holds them.
bool SaveDialogFiller::Ready(HWND dialog) const {
    if (!FindDescendant(dialog, cmb13) && !FindDescendant(dialog, edt1)) return false;
    if (tick_.empty()) return true;
    HWND list = FindDescendant(dialog, 1122);
    int highest = *std::max_element(tick_.begin(), tick_.end());
    return list && SendMessageW(list, LB_GETCOUNT, 0, 0) > highest;
}

void SaveDialogFiller::Fill() {
    HWND dialog = nullptr;
    if (!testing_support::WaitUntil([&] { return (dialog = testing_support::FindProcessWindow(L"#32770")) != nullptr && Ready(dialog); }))
        return;
    if (HWND list = FindDescendant(dialog, 1122)) {
        for (int line : tick_) SendMessageW(list, LB_SETSEL, TRUE, line);
        SendMessageW(GetParent(list), WM_COMMAND, MAKEWPARAM(1122, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    }
    SendMessageW(dialog, CDM_SETCONTROLTEXT, edt1, reinterpret_cast<LPARAM>(name_.c_str()));
    SendMessageW(dialog, CDM_SETCONTROLTEXT, cmb13, reinterpret_cast<LPARAM>(name_.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    filled_ = true;
}

TestWindow::TestWindow() {
    EXPECT_TRUE(CreatePackerWindow(&window_));
    CVSettingsDlg& s = settings();
    s.VerifyCertificates = 0;  // the test CA is not trusted by the prefix
    s.CompressFiles = 0;
    s.DeleteFiles = 0;
    s.DeleteSafelyFiles = 0;
    s.CloseProgram = 1;
    s.CreateSelfdecodedFile = 0;
    s.CryptCSPname.clear();
    s.CryptCSPtype = PROV_RSA_AES;
    s.EncryptAlgorithmID = CALG_3DES;
    s.EncryptKeyLength = 168;
    s.CompressedFiles = L"RAR.7Z.JZ.JAR.BZ.BZ2.ZIP.LZH.ARJ.ARC.CAB.TAR.TGZ.TAZ.TZ.GZ.Z.UU.UUE.XXE.B64.HQX.BHX.MIM";
    options_.openTargetFolder = false;
    options_.platformProgress = false;
    options_.progress = nullptr;
}

TestWindow::~TestWindow() { DestroyPackerWindow(&window_); }

int TestWindow::AddFile(const std::wstring& path) {
    wchar_t* item = CVFilesDlg::DuplicatePath(path.c_str());
    int index = window_.filesPage->AddItem(item, FALSE);
    EXPECT_GE(index, 0) << "cannot list " << std::string(path.begin(), path.end());
    if (index < 0) window_.filesPage->FreeItem(item);
    return index;
}

void TestWindow::AddRecipientFile(const std::wstring& cerName) {
    CertHandle certificate = testing_support::LoadCertificateFile(testing_support::TestDataFile(cerName));
    ASSERT_TRUE(certificate);
    ASSERT_GE(window_.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(certificate.get()), FALSE), 0);
    certificate.release();
}

void TestWindow::AddSigner(const std::wstring& subjectPart) {
    CertHandle certificate = testing_support::FindMyCertificate(subjectPart);
    ASSERT_TRUE(certificate);
    ASSERT_GE(window_.signingPage->AddItem(const_cast<CERT_CONTEXT*>(certificate.get()), FALSE), 0);
    certificate.release();
}

BOOL TestWindow::Run(BOOL askFolder) { return RunPack(&window_, nullptr, askFolder, options_); }

bool UnpackToFile(const std::wstring& packedPath, const std::wstring& outputPath, bool inflate) {
    UnpackSettings settings;
    LoadUnpackSettings(&settings);
    settings.enumProviders = 0;
    settings.askReimport = 0;
    settings.reimportKey = 0;
    bool ok = false;
    {
        UnpackJob job;
        job.inputPath = packedPath;
        job.outputPath = outputPath;
        job.compressedContent = inflate ? 1 : 0;
        LONG result = ReadEnvelope(nullptr, &settings, &job, nullptr);
        ok = result == 0 && job.jobResult == 0 && (!inflate || job.decompressStatus == 0);
    }
    if (settings.store) CertCloseStore(settings.store, 0);
    return ok;
}

bool DecryptContent(const std::wstring& packedPath, std::vector<uint8_t>& content) {
    TempDir temp;
    // The gzip file itself is what the test looks at.
    const std::wstring output = temp.File(L"content.out");
    if (!UnpackToFile(packedPath, output, false)) return false;
    content = ReadFileBytes(output);
    return true;
}

bool SameFileBytes(const std::wstring& a, const std::wstring& b) {
    FileHandle first(CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    FileHandle second(CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER sizeA = {}, sizeB = {};
    if (!first || !second || !GetFileSizeEx(first.get(), &sizeA) || !GetFileSizeEx(second.get(), &sizeB) ||
        sizeA.QuadPart != sizeB.QuadPart)
        return false;
    std::vector<uint8_t> x(1 << 20), y(1 << 20);
    for (;;) {
        DWORD gotX = 0, gotY = 0;
        if (!ReadFile(first.get(), x.data(), static_cast<DWORD>(x.size()), &gotX, nullptr) ||
            !ReadFile(second.get(), y.data(), static_cast<DWORD>(y.size()), &gotY, nullptr) || gotX != gotY)
            return false;
        if (gotX == 0) return true;
        if (std::memcmp(x.data(), y.data(), gotX) != 0) return false;
    }
}

bool DecryptTail(const std::wstring& path, size_t offset, std::vector<uint8_t>& content) {
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    if (offset > bytes.size()) return false;
    TempDir temp;
    std::wstring tail = temp.File(L"tail.pkcs7");
    WriteFileBytes(tail, std::vector<uint8_t>(bytes.begin() + offset, bytes.end()));
    return DecryptContent(tail, content);
}

namespace {

bool Inflate(const std::vector<uint8_t>& input, int windowBits, std::vector<uint8_t>& content, size_t* used) {
    z_stream stream = {};
    if (inflateInit2(&stream, windowBits) != Z_OK) return false;
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    content.clear();
    int status = Z_OK;
    uint8_t buffer[16384];
    while (status == Z_OK) {
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        content.insert(content.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
        if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    if (used) *used = input.size() - stream.avail_in;
    inflateEnd(&stream);
    return status == Z_STREAM_END;
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool Gunzip(const std::vector<uint8_t>& gzip, std::vector<uint8_t>& content) {
    size_t used = 0;
    return gzip.size() > 18 && gzip[0] == 0x1F && gzip[1] == 0x8B &&
           Inflate(gzip, 16 + MAX_WBITS, content, &used) && used == gzip.size();
}

bool InflateWithTrailer(const std::vector<uint8_t>& payload, std::vector<uint8_t>& content) {
    size_t used = 0;
    if (!Inflate(payload, -MAX_WBITS, content, &used) || payload.size() != used + 8) return false;
    uint32_t crc = crc32(0, content.data(), static_cast<uInt>(content.size()));
    return Le32(&payload[used]) == crc && Le32(&payload[used + 4]) == content.size();
}

bool MakeSparseFile(const std::wstring& path, ULONGLONG size) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD unused = 0;
    DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    return file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

std::vector<uint8_t> TextBytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

}  // namespace pack_run_test
