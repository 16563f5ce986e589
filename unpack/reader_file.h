// The packed file read element by element from the disk, every byte counted into the job's offset.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "format/der.h"

class EnvelopeFile {
public:
    EnvelopeFile(HANDLE file, DWORD size, DWORD* offset) : file_(file), size_(size), offset_(offset) {}

    HANDLE handle() const { return file_; }
    DWORD size() const { return size_; }
    DWORD position() const { return *offset_; }
    DWORD remaining() const { return size_ - *offset_; }
    // The error of the last failed read: CRYPT_E_FILE_ERROR for a failed or short ReadFile.
    DWORD systemError() const { return systemError_; }

    bool ReadByte(BYTE& value);
    // The next byte, left unread (counted neither into the offset nor as consumed).
    bool PeekByte(BYTE& value);
    // Exactly count bytes, or failure (systemError set; ERROR_HANDLE_EOF for a short read).
    bool ReadBytes(BYTE* out, DWORD count);
    // The length rule; the bytes it used are counted only after the caller checked them, so that a
    // fault is reported at the length's first byte.
    der::ParsedLength PeekLength();
    void Consume(DWORD count) { *offset_ += count; }
    // An OID element; false when the tag is not 06 or no value follows.
    bool ReadOid(std::vector<uint8_t>& value);
    // Moves forward without reading (the content in describe mode).
    bool SkipBytes(DWORD count);

private:
    bool ReadRaw(BYTE* out, DWORD count);

    HANDLE file_;
    DWORD size_;
    DWORD* offset_;
    DWORD systemError_ = 0;
};
