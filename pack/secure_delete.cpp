#include "pack/secure_delete.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/file_write.h"

namespace {

constexpr DWORD kPatternSize = 65536;
constexpr int kPatternCount = 3;
constexpr int kRenameRounds = 42;
constexpr DWORD kNotOverwritten = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_SPARSE_FILE;

const SecureDeleteHooks* g_hooks = nullptr;

// The three patterns in one buffer. VirtualAlloc gives page alignment, which satisfies every
// sector size that unbuffered writes demand.
class PatternBuffer {
public:
    PatternBuffer()
        : data_(static_cast<BYTE*>(
              VirtualAlloc(nullptr, kPatternCount * kPatternSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
    ~PatternBuffer() {
        if (data_) VirtualFree(data_, 0, MEM_RELEASE);
    }
    PatternBuffer(const PatternBuffer&) = delete;
    PatternBuffer& operator=(const PatternBuffer&) = delete;
    BYTE* pattern(int index) const { return data_ + index * kPatternSize; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    BYTE* data_;
};

// Random bytes from the caller's provider, or from a verify-only provider of our own; zero bytes
// only when neither can give any.
void FillRandom(HCRYPTPROV provider, BYTE* out, DWORD size) {
    ProviderHandle own;
    if (!provider && CryptAcquireContextW(own.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        provider = own.get();
    if (!provider || !CryptGenRandom(provider, size, out)) memset(out, 0, size);
}

bool WritePattern(HANDLE file, const BYTE* pattern, ULONGLONG length) {
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    for (ULONGLONG left = length; left > 0;) {
        DWORD chunk = static_cast<DWORD>(std::min<ULONGLONG>(left, kPatternSize));
        if (!WriteAll(file, pattern, chunk)) return false;
        left -= chunk;
    }
    return true;
}

// The root of the volume that holds the path, for its sector size. Falls back to the text up to
// and including the first backslash when the platform cannot name the volume.
std::wstring VolumeRoot(const wchar_t* path) {
    wchar_t full[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path, MAX_PATH * 2, full, nullptr);
    std::wstring text = (n > 0 && n < MAX_PATH * 2) ? std::wstring(full, n) : std::wstring(path);
    wchar_t volume[MAX_PATH * 2];
    if (GetVolumePathNameW(text.c_str(), volume, MAX_PATH * 2)) return volume;
    size_t slash = text.find(L'\\');
    return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash + 1);
}

DWORD SectorSize(const wchar_t* path) {
    std::wstring root = VolumeRoot(path);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(root.empty() ? nullptr : root.c_str(), &sectorsPerCluster, &bytesPerSector,
                           &freeClusters, &totalClusters))
        return 0;
    if (bytesPerSector == 0) SetLastError(ERROR_INVALID_PARAMETER);
    return bytesPerSector;
}

// Extends the file to whole sectors and overwrites it; the file is closed on every path.
bool OverwriteInPlace(const wchar_t* path, HCRYPTPROV provider, DWORD passes) {
    FileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr));
    if (!file) return false;
    // The whole 64-bit size: the low half alone would leave most of a 4 GB file untouched.
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) return false;
    DWORD sector = SectorSize(path);
    if (sector == 0) return false;
    ULONGLONG length = static_cast<ULONGLONG>(size.QuadPart);
    length = (length + sector - 1) / sector * sector;
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(length);
    if (!SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) return false;
    return OverwriteFileContents(file.get(), provider, length, passes) != FALSE;
}

size_t NameStart(const std::wstring& path) {
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? 0 : separator + 1;
}

}  // namespace

void SetSecureDeleteHooks(const SecureDeleteHooks* hooks) { g_hooks = hooks; }

BOOL OverwriteFileContents(HANDLE file, HCRYPTPROV provider, ULONGLONG length, DWORD passes) {
    PatternBuffer patterns;
    if (!patterns) return FALSE;
    memset(patterns.pattern(0), 0xAA, kPatternSize);
    memset(patterns.pattern(1), 0x55, kPatternSize);
    FillRandom(provider, patterns.pattern(2), kPatternSize);
    for (DWORD pass = 0; pass < passes; ++pass) {
        for (int index = 0; index < kPatternCount; ++index) {
            if (!WritePattern(file, patterns.pattern(index), length)) return FALSE;
            if (g_hooks && g_hooks->afterPattern) g_hooks->afterPattern(g_hooks->context, file, pass, index);
        }
    }
    return TRUE;
}

std::wstring ScrambleFileName(const wchar_t* path) {
    std::wstring current = path;
    std::wstring target = path;
    const size_t nameStart = NameStart(current);
    for (int round = 0; round < kRenameRounds; ++round) {
        const wchar_t fill = static_cast<wchar_t>(L'0' + round);
        for (size_t i = nameStart; i < target.size(); ++i) {
            if (target[i] != L'.') target[i] = fill;
        }
        // Characters such as ':' or '?' are refused as names: the file keeps its name this round.
        if (MoveFileW(current.c_str(), target.c_str())) std::swap(current, target);
    }
    return current;
}

BOOL SecureDeleteFile(const wchar_t* path, HCRYPTPROV provider, DWORD passes) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Overwriting a file on another machine proves nothing about its disk: refuse it.
    if (path[0] == L'\\' && path[1] == L'\\') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // For compressed, encrypted and sparse files the new bytes would not land where the old ones
    // were, so only the name is scrambled.
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & kNotOverwritten)) {
        if (!OverwriteInPlace(path, provider, passes)) return FALSE;
    }
    std::wstring current = ScrambleFileName(path);
    if (g_hooks && g_hooks->beforeDelete) g_hooks->beforeDelete(g_hooks->context, current.c_str());
    if (DeleteFileW(current.c_str())) return TRUE;
    PreserveLastError keep;
    if (current != path) MoveFileW(current.c_str(), path);
    return FALSE;
}
