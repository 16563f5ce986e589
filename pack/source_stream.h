// The plaintext source of the envelope writer: one or several open files read back to back, with
// the platform progress dialog, cancellation and, on request, one raw deflate stream with a
// CRC-32 and size trailer. Also the gzip file routine for ".gz.pkcs7" output.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <shlobj.h>
#include <zlib.h>

#include <cstdint>

#include <functional>
#include <memory>
#include <string>

#include "pack/parallel_deflate.h"

// One file feeding a CSourceFileStream; the caller owns the array and the handles.
struct SourceFile {
    std::wstring path;  // shown in the progress dialog
    HANDLE handle = INVALID_HANDLE_VALUE;  // open for reading
    uint64_t size = 0;  // bytes the stream delivers from this file
    uint64_t done = 0;  // bytes already read
};

// ISequentialStream over the files in order, with nothing between them. It lives in the caller's
// frame: AddRef and Release do nothing. Read returns S_OK while more may follow, S_FALSE with the
// last byte, E_ABORT when the user pressed cancel and E_FAIL on a read or deflate error (the
// thread's last error says why). A file is delivered at exactly its recorded size: a file that
// ends early fails the Read, and bytes a file gained after it was sized are not read.
class CSourceFileStream : public ISequentialStream {
public:
    // Shows the platform progress dialog (when it can be created) with ownerWindow as owner.
    // targetText, when not null, is shown below the first file's path. More than one thread
    // compresses in blocks on that many workers; one thread deflates on the caller's thread, at
    // level (1 to 9).
    CSourceFileStream(SourceFile* files, DWORD count, const wchar_t* targetText, bool compress, HWND ownerWindow,
                      unsigned threads = 1, int level = 9);
    // Uses the given dialog instead of the platform's; null means no progress display at all.
    CSourceFileStream(SourceFile* files, DWORD count, const wchar_t* targetText, bool compress, HWND ownerWindow,
                      IProgressDialog* progress, unsigned threads = 1, int level = 9);
    virtual ~CSourceFileStream();
    CSourceFileStream(const CSourceFileStream&) = delete;
    CSourceFileStream& operator=(const CSourceFileStream&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG wanted, ULONG* got) override;
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }

    // Whether the user pressed the dialog's cancel button (false without a dialog).
    bool Cancelled() const;
    // The file being read, or null once every file has been read.
    const SourceFile* CurrentFile() const;
    uint64_t TotalRead() const { return total_; }
    // The last zlib result; -1 while no deflate state exists.
    int DeflateStatus() const { return deflateStatus_; }

private:
    void StartProgress(const wchar_t* targetText, HWND ownerWindow);
    void StartDeflate(unsigned threads, int level);
    void ShowFileLines(const wchar_t* targetText);
    void SkipFinishedFiles();
    bool ReadCurrentFile(BYTE* buffer, DWORD wanted, DWORD* read);
    HRESULT ReadPlain(BYTE* buffer, ULONG wanted, ULONG* got);
    HRESULT ReadCompressed(BYTE* buffer, ULONG wanted, ULONG* got);
    HRESULT DeflateInto(BYTE* buffer, ULONG wanted, ULONG* got);
    HRESULT ProduceBlocks(BYTE* buffer, ULONG wanted, ULONG* got);
    parallel_deflate::InputStatus FillBlock(uint8_t* block, size_t room, size_t* read);
    bool FillDeflateInput();
    ULONG CopyTrailer(BYTE* buffer, ULONG room);
    void EndDeflate();
    HRESULT Fail(DWORD error);

    SourceFile* files_;
    DWORD count_;
    DWORD index_ = 0;
    IProgressDialog* progress_ = nullptr;
    z_stream* deflate_ = nullptr;
    std::unique_ptr<parallel_deflate::Deflater> blocks_;  // instead of deflate_ on more than one thread
    BYTE trailer_[8] = {};
    int trailerCursor_ = -1;  // -1 until the deflate stream has ended
    BYTE* input_ = nullptr;
    uint64_t total_ = 0;  // the gzip trailer keeps it modulo 2^32
    uLong crc_ = 0;
    bool finished_ = false;
    bool failed_ = false;
    DWORD failedError_ = 0;
    int deflateStatus_ = -1;
};

// Writes one gzip member of the source's remaining bytes to target: the 10-byte header, a raw
// deflate stream at level (1 to 9), the CRC-32 and the size. 0 on success, a zlib error, or -1
// for a failed read or write (the thread's last error says why).
int CompressFileToGzip(HANDLE source, HANDLE target, int level);
// The same on that many threads (one: the bytes the call above writes). cancelled, when set, is
// asked before every read; a yes fails the routine with ERROR_CANCELLED.
int CompressFileToGzip(HANDLE source, HANDLE target, int level, unsigned threads,
                       const std::function<bool()>& cancelled);
