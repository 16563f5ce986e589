// quill import FILE.p12|FILE.pfx [--password PW] [--provider-type 1|24]
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/key_import.h"

namespace {

constexpr DWORD kLargestPfx = 16u << 20;

bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return false;
    if (size.QuadPart > kLargestPfx) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size())) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    return true;
}

struct ImportRequest {
    std::wstring path;
    std::wstring password;
    DWORD providerType = PROV_RSA_AES;
};

int ParseImport(ArgumentReader& arguments, ImportRequest& request) {
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (argument == L"--" && !arguments.IsOption()) continue;
        if (!arguments.IsOption()) {
            if (!request.path.empty()) return UsageError(L"import takes one file");
            request.path = argument;
            continue;
        }
        std::wstring name = arguments.OptionName();
        std::wstring value;
        if (name == L"password") {
            if (!arguments.TakeValue(request.password)) return UsageError(L"--password needs a value");
        } else if (name == L"provider-type") {
            if (!arguments.TakeValue(value)) return UsageError(L"--provider-type needs a value");
            if (value == L"1") request.providerType = PROV_RSA_FULL;
            else if (value == L"24") request.providerType = PROV_RSA_AES;
            else return UsageError(L"--provider-type must be 1 or 24");
        } else {
            return UsageError(L"unknown option for import: --" + name);
        }
    }
    if (request.path.empty()) return UsageError(L"import needs a PKCS#12 file");
    return 0;
}

}  // namespace

int CommandImport(ArgumentReader& arguments) {
    ImportRequest request;
    if (int status = ParseImport(arguments, request)) return status;
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(request.path, bytes)) return Fail(L"cannot read " + request.path, GetLastError());
    std::vector<ImportedCertificate> imported;
    bool ok = ImportPfx(bytes, request.password, request.providerType, imported);
    DWORD error = GetLastError();
    for (const ImportedCertificate& c : imported) {
        PrintLine(FormatString(L"imported: %ls (SHA-1 %ls), key in container %ls, provider type %lu",
                               c.subject.c_str(), c.thumbprint.c_str(), c.container.c_str(), c.providerType));
        if (c.keyFromFile) PrintLine(L"  the system's import damaged the key: it was read from the file instead");
    }
    if (ok) return 0;
    if (error == ERROR_INVALID_PASSWORD) {
        PrintError(L"quill: cannot open " + request.path + L": wrong password or damaged file");
        return 1;
    }
    if (error == ERROR_INVALID_DATA) {
        PrintError(L"quill: " + request.path + L" is not a PKCS#12 file");
        return 1;
    }
    if (error == static_cast<DWORD>(NTE_BAD_KEY)) {
        PrintError(L"quill: the private key in " + request.path + L" does not match its certificate");
        return 1;
    }
    if (error == static_cast<DWORD>(NTE_BAD_ALGID)) {
        PrintError(L"quill: cannot import " + request.path + L": the key type is not supported (only RSA keys are)");
        return 1;
    }
    if (error == static_cast<DWORD>(NTE_NO_KEY)) {
        PrintError(L"quill: " + request.path + L" holds no certificate with a private key");
        return 1;
    }
    return Fail(L"cannot import " + request.path, error);
}
