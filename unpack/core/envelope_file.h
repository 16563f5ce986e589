// The envelope read element by element from a file, every byte counted into the caller's offset.
// It starts at the file's current position and ends where the envelope ends (the end of the file
// for both readers); no read goes beyond that end. Small reads (tags, lengths, the headers of a
// segmented content, which other tools write every few KiB) come from a buffer of its own; large
// ones go straight into the caller's memory.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "format/der.h"
#include "format/envelope_rules.h"

namespace reader_core {

// A fault of the reading: the job's result, and the system error for file faults.
struct Fault {
    DWORD code = 0;
    DWORD systemError = 0;
    explicit operator bool() const { return code != 0; }
};

Fault FormatFault(DWORD code);

// The bytes from start to the end of the file, with the file left at start: 0, or the system
// error. Offsets and lengths are 64-bit: a file of any size is taken.
DWORD LocateEnvelope(HANDLE file, uint64_t start, uint64_t& size);

class EnvelopeFile {
public:
    // size: the bytes from the current position to the end of the envelope.
    EnvelopeFile(HANDLE file, uint64_t size, uint64_t* offset) : file_(file), size_(size), offset_(offset) {}

    // The file, positioned where the reading stands (what the buffer held ahead is given back).
    HANDLE handle();
    uint64_t size() const { return size_; }
    uint64_t position() const { return *offset_; }
    uint64_t remaining() const { return size_ - *offset_; }
    // The reason of the last failed read (ERROR_HANDLE_EOF for one that met the end).
    DWORD systemError() const { return systemError_; }
    // A failed read as a fault: a file error with its reason.
    Fault ReadFault() const;

    bool ReadByte(BYTE& value) { return ReadBytes(&value, 1); }
    // The next byte, left unread (not counted); false at the end as for a read.
    bool PeekByte(BYTE& value);
    // Exactly count bytes, or false (systemError set).
    bool ReadBytes(BYTE* out, DWORD count);
    // Moves forward without reading.
    bool SkipBytes(uint64_t count);
    // Gives back what was read since position, a read-ahead that was not used: the count and the
    // file go back there, so a stop is reported where the used bytes end.
    bool Rewind(uint64_t position);

    // The tag (which must be tag) and its length under the rule.
    Fault ReadHeader(BYTE tag, envelope_rules::LengthRule rule, der::ParsedLength& length);
    // The length of an element whose tag byte was read at start. A fault is reported at the
    // length's first byte: its bytes count only once the rule holds.
    Fault ReadLength(uint64_t start, envelope_rules::LengthRule rule, der::ParsedLength& length);
    // An OID element: 06, a short-form length and a value of at least one byte.
    Fault ReadOid(std::vector<uint8_t>& value);
    // A length of bytes into a buffer; refused before anything is allocated when the file ends first.
    Fault ReadIntoBuffer(uint64_t length, std::vector<BYTE>& out);

private:
    // ahead: bytes already read but not yet counted.
    bool ReadRaw(BYTE* out, DWORD count, DWORD ahead = 0);
    // count bytes from the buffer, then from the file; first: their place in the envelope.
    bool Pull(BYTE* out, DWORD count, uint64_t first);
    // Drops what the buffer holds, moving the file back to the first byte not yet taken.
    bool DropBuffer();
    DWORD buffered() const { return bufferEnd_ - bufferAt_; }

    HANDLE file_;
    uint64_t size_;
    uint64_t* offset_;
    DWORD systemError_ = 0;
    std::vector<BYTE> buffer_;  // allocated on the first small read
    DWORD bufferAt_ = 0;        // the next byte to take
    DWORD bufferEnd_ = 0;
};

}  // namespace reader_core
