#include "tests/self_decoding/program_test_support.h"

#include <zlib.h>

#include <algorithm>

#include "format/service/crypto_handles.h"
#include "format/sfx_directory.h"
#include "packer_ui/packer_window.h"
#include "tests/support/test_support.h"
#include "unpack/recipient_key.h"

namespace quendrix_test {

namespace {

std::wstring WindowsPath(const char* path) {
    std::wstring wide = testing_support::Widen(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

bool WriteAll(HANDLE file, const std::vector<uint8_t>& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

std::wstring ShippedProgramPath() { return WindowsPath(QUENDRIX_SHIPPED); }
std::wstring QuillProgramPath() { return WindowsPath(QUILL_PROGRAM); }

std::vector<uint8_t> CompressPayload(const std::vector<uint8_t>& plain) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 16);
    stream.next_in = const_cast<Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    uLong crc = crc32(0, plain.data(), static_cast<uInt>(plain.size()));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(plain.size() >> (8 * i)));
    return out;
}

bool BuildPayloadProgram(const std::wstring& target, const PayloadSpec& spec) {
    if (!CopyFileW(ShippedProgramPath().c_str(), target.c_str(), TRUE)) return false;
    FileHandle file(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) return false;
    sfx::Directory directory;
    directory.compressed = spec.compressed;
    std::vector<uint8_t> plain;
    for (const PackedFile& packed : spec.files) {
        directory.entries.push_back(
            {packed.flags, static_cast<uint32_t>(packed.bytes.size()), std::u16string(packed.name.begin(), packed.name.end())});
        plain.insert(plain.end(), packed.bytes.begin(), packed.bytes.end());
    }
    if (!WriteAll(file.get(), sfx::BuildDirectory(directory))) return false;
    if (spec.compressed) plain = CompressPayload(plain);

    PackerWindow window;
    if (!CreatePackerWindow(&window)) return false;
    for (PCCERT_CONTEXT recipient : spec.recipients)
        window.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(recipient)), FALSE);
    window.settingsPage->CreateSelfdecodedFile = 1;
    window.settingsPage->EncryptAlgorithmID = spec.algId;
    window.settingsPage->EncryptKeyLength = spec.keyLength;
    window.settingsPage->HashAlgorithmID = spec.hashAlgId;
    window.settingsPage->AddCertsToSignedFile = spec.addCertificates ? 1 : 0;
    ProviderHandle provider;
    if (!spec.recipients.empty())
        CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    testing_support::MemoryStream source(plain, 10000);
    BOOL ok = WriteEnvelope(file.get(), &source, 0, spec.signers.data(), static_cast<DWORD>(spec.signers.size()),
                            &window, provider.get());
    DestroyPackerWindow(&window);
    return ok != FALSE;
}

RunResult RunProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                     const std::string& caption) {
    RunResult result;
    std::wstring command = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process))
        return result;
    CloseHandle(process.hThread);
    const DWORD deadline = GetTickCount() + 90000;
    while (GetTickCount() < deadline) {
        HWND box = FindWindowA("#32770", caption.c_str());
        if (box) {
            char text[8192] = "";
            // The text is set before the box shows; read it once the box is visible.
            testing_support::WaitUntil([box] { return IsWindowVisible(box) != FALSE; });
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            result.boxShown = true;
            result.boxText = text;
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            break;
        }
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
    }
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        result.exited = true;
        GetExitCodeProcess(process.hProcess, &result.exitCode);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return result;
}

bool BuildSignedPayloadProgram(const std::wstring& target, const PayloadSpec& spec, const wchar_t* signerName) {
    CertHandle certificate = testing_support::FindMyCertificate(signerName);
    SignerEntry signer;
    signer.certificate = certificate.get();
    if (!certificate || !AcquireCertificateKey(certificate.get(), &signer.provider, &signer.keySpec)) return false;
    PayloadSpec signedSpec = spec;
    signedSpec.signers.push_back(signer);
    const bool built = BuildPayloadProgram(target, signedSpec);
    CryptReleaseContext(signer.provider, 0);
    return built;
}

}  // namespace quendrix_test
