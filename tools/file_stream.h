// The plaintext source of quill pack: an ISequentialStream over an open file handle.
#pragma once
#include <windows.h>
#include <objidl.h>

// Delivers exactly size bytes from the handle's current position. Read returns S_FALSE with the
// call that hands out the last byte, E_FAIL (the last error says why) when the file ends early or
// cannot be read. Lives in the caller's frame: AddRef and Release do nothing.
class FileReadStream : public ISequentialStream {
public:
    FileReadStream(HANDLE file, DWORD size) : file_(file), size_(size) {}
    virtual ~FileReadStream() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG wanted, ULONG* got) override;
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }

private:
    HANDLE file_;
    DWORD size_;
    DWORD done_ = 0;
};
