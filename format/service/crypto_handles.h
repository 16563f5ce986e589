// Owning wrappers for CryptoAPI, certificate, registry and file handles: each releases its handle
// on every path. Release() gives ownership up, for the places where it passes to someone else.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <utility>

template <typename Handle, typename Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Handle get() const { return handle_; }
    explicit operator bool() const { return Traits::IsValid(handle_); }
    // For the out-parameter of the acquiring call; releases what was held before.
    Handle* put() {
        reset();
        return &handle_;
    }
    Handle release() { return std::exchange(handle_, Traits::Invalid()); }
    void reset(Handle handle = Traits::Invalid()) {
        if (Traits::IsValid(handle_)) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct ProviderTraits {
    static HCRYPTPROV Invalid() { return 0; }
    static bool IsValid(HCRYPTPROV h) { return h != 0; }
    static void Close(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
};
struct KeyTraits {
    static HCRYPTKEY Invalid() { return 0; }
    static bool IsValid(HCRYPTKEY h) { return h != 0; }
    static void Close(HCRYPTKEY h) { CryptDestroyKey(h); }
};
struct HashTraits {
    static HCRYPTHASH Invalid() { return 0; }
    static bool IsValid(HCRYPTHASH h) { return h != 0; }
    static void Close(HCRYPTHASH h) { CryptDestroyHash(h); }
};
struct CertTraits {
    static PCCERT_CONTEXT Invalid() { return nullptr; }
    static bool IsValid(PCCERT_CONTEXT h) { return h != nullptr; }
    static void Close(PCCERT_CONTEXT h) { CertFreeCertificateContext(h); }
};
struct StoreTraits {
    static HCERTSTORE Invalid() { return nullptr; }
    static bool IsValid(HCERTSTORE h) { return h != nullptr; }
    static void Close(HCERTSTORE h) { CertCloseStore(h, 0); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static bool IsValid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct FileTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(HANDLE h) { CloseHandle(h); }
};

struct CngAlgorithmTraits {
    static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
    static bool IsValid(BCRYPT_ALG_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct CngKeyTraits {
    static BCRYPT_KEY_HANDLE Invalid() { return nullptr; }
    static bool IsValid(BCRYPT_KEY_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};

using ProviderHandle = UniqueHandle<HCRYPTPROV, ProviderTraits>;
using KeyHandle = UniqueHandle<HCRYPTKEY, KeyTraits>;
using HashHandle = UniqueHandle<HCRYPTHASH, HashTraits>;
using CertHandle = UniqueHandle<PCCERT_CONTEXT, CertTraits>;
using StoreHandle = UniqueHandle<HCERTSTORE, StoreTraits>;
using RegKeyHandle = UniqueHandle<HKEY, RegKeyTraits>;
using FileHandle = UniqueHandle<HANDLE, FileTraits>;
using CngAlgorithmHandle = UniqueHandle<BCRYPT_ALG_HANDLE, CngAlgorithmTraits>;
using CngKeyHandle = UniqueHandle<BCRYPT_KEY_HANDLE, CngKeyTraits>;

// Keeps the thread's last error across clean-up calls that may overwrite it.
class PreserveLastError {
public:
    PreserveLastError() : error_(GetLastError()) {}
    ~PreserveLastError() { SetLastError(error_); }

private:
    DWORD error_;
};
