#include "unpack/core/envelope_file.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "format/oid_element.h"

namespace reader_core {

namespace {

constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
constexpr DWORD kBufferBytes = 64u << 10;

Fault VerdictFault(envelope_rules::Verdict verdict) {
    switch (verdict) {
    case envelope_rules::Verdict::kOk:
        return Fault();
    case envelope_rules::Verdict::kBadEncode:
        return FormatFault(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
    case envelope_rules::Verdict::kUnexpected:
        break;
    }
    return FormatFault(static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING));
}

}  // namespace

Fault FormatFault(DWORD code) { return Fault{code, 0}; }

DWORD LocateEnvelope(HANDLE file, uint64_t start, uint64_t& size) {
    size = 0;
    LARGE_INTEGER fileSize = {};
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(start);
    if (!GetFileSizeEx(file, &fileSize) || !SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return GetLastError();
    const uint64_t total = static_cast<uint64_t>(fileSize.QuadPart);
    if (total > start) size = total - start;
    return 0;
}

Fault EnvelopeFile::ReadFault() const { return Fault{kFileError, systemError_}; }

HANDLE EnvelopeFile::handle() {
    DropBuffer();
    return file_;
}

bool EnvelopeFile::DropBuffer() {
    if (buffered() == 0) return true;
    LARGE_INTEGER back;
    back.QuadPart = -static_cast<LONGLONG>(buffered());
    bufferAt_ = bufferEnd_ = 0;
    if (SetFilePointerEx(file_, back, nullptr, FILE_CURRENT)) return true;
    systemError_ = GetLastError();
    return false;
}

bool EnvelopeFile::Pull(BYTE* out, DWORD count, uint64_t first) {
    for (;;) {
        const DWORD take = std::min(count, buffered());
        std::memcpy(out, buffer_.data() + bufferAt_, take);
        bufferAt_ += take;
        out += take;
        count -= take;
        first += take;
        if (count == 0) return true;
        // The buffer is empty here; it never takes in bytes behind the envelope's end.
        const uint64_t left = size_ - first;
        const bool direct = count >= kBufferBytes;
        BYTE* target = out;
        DWORD wanted = count;
        if (!direct) {
            if (buffer_.empty()) buffer_.resize(kBufferBytes);
            target = buffer_.data();
            wanted = static_cast<DWORD>(std::min<uint64_t>(kBufferBytes, left));
        }
        DWORD got = 0;
        if (!ReadFile(file_, target, wanted, &got, nullptr)) {
            systemError_ = GetLastError();
            return false;
        }
        if (direct) {
            if (got == count) return true;
            // A short read: what came is given back, so the position stays that of the bytes taken.
            LARGE_INTEGER back;
            back.QuadPart = -static_cast<LONGLONG>(got);
            SetFilePointerEx(file_, back, nullptr, FILE_CURRENT);
            systemError_ = ERROR_HANDLE_EOF;
            return false;
        }
        bufferAt_ = 0;
        bufferEnd_ = got;
        if (got < std::min<DWORD>(count, wanted)) {
            systemError_ = ERROR_HANDLE_EOF;
            return false;
        }
    }
}

bool EnvelopeFile::ReadRaw(BYTE* out, DWORD count, DWORD ahead) {
    // Checked first: the envelope ends here even where the file would go on.
    if (count > remaining() - ahead) {
        systemError_ = ERROR_HANDLE_EOF;
        return false;
    }
    return Pull(out, count, *offset_ + ahead);
}

bool EnvelopeFile::ReadBytes(BYTE* out, DWORD count) {
    if (count == 0) return true;
    if (!ReadRaw(out, count)) return false;
    *offset_ += count;
    return true;
}

bool EnvelopeFile::PeekByte(BYTE& value) {
    systemError_ = 0;
    if (!ReadRaw(&value, 1)) return false;
    // The byte came through the buffer (a one-byte read always does): it goes back there.
    --bufferAt_;
    return true;
}

bool EnvelopeFile::SkipBytes(uint64_t count) {
    if (count <= buffered()) {
        bufferAt_ += static_cast<DWORD>(count);
        *offset_ += count;
        return true;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(count - buffered());
    bufferAt_ = bufferEnd_ = 0;
    if (!SetFilePointerEx(file_, distance, nullptr, FILE_CURRENT)) {
        systemError_ = GetLastError();
        return false;
    }
    *offset_ += count;
    return true;
}

bool EnvelopeFile::Rewind(uint64_t position) {
    if (position > *offset_) return false;
    LARGE_INTEGER distance;
    distance.QuadPart = -static_cast<LONGLONG>(*offset_ - position + buffered());
    bufferAt_ = bufferEnd_ = 0;
    *offset_ = position;
    if (SetFilePointerEx(file_, distance, nullptr, FILE_CURRENT)) return true;
    systemError_ = GetLastError();
    return false;
}

Fault EnvelopeFile::ReadHeader(BYTE tag, envelope_rules::LengthRule rule, der::ParsedLength& length) {
    const uint64_t start = position();
    BYTE actual = 0;
    if (!ReadByte(actual)) return ReadFault();
    if (actual != tag) return FormatFault(static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING));
    return ReadLength(start, rule, length);
}

Fault EnvelopeFile::ReadLength(uint64_t start, envelope_rules::LengthRule rule, der::ParsedLength& length) {
    // The length bytes are read from the file but counted only when the rule holds.
    DWORD peeked = 0;
    auto next = [this, &peeked](uint8_t& b) {
        if (!ReadRaw(&b, 1, peeked)) return false;
        ++peeked;
        return true;
    };
    systemError_ = 0;
    length = der::ReadDerLength(next);
    if (length.used == 0 || systemError_ != 0) return ReadFault();
    if (Fault fault = VerdictFault(envelope_rules::CheckLength(length, rule, size_ - start))) return fault;
    *offset_ += length.used;
    return Fault();
}

Fault EnvelopeFile::ReadOid(std::vector<uint8_t>& value) {
    systemError_ = 0;
    auto next = [this](uint8_t& b) {
        if (!ReadRaw(&b, 1)) return false;
        ++*offset_;
        return true;
    };
    uint32_t consumed = 0;
    if (der::ReadOidElement(next, value, consumed)) return Fault();
    if (systemError_ != 0) return ReadFault();
    return FormatFault(static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING));
}

Fault EnvelopeFile::ReadIntoBuffer(uint64_t length, std::vector<BYTE>& out) {
    if (length > remaining()) return Fault{kFileError, ERROR_HANDLE_EOF};
    // Read whole with one ReadFile, so it must fit one call as well as the memory.
    if (length > 0x7FFFFFFF) return FormatFault(static_cast<DWORD>(E_OUTOFMEMORY));
    try {
        out.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        // A damaged length inside a large file can ask for more than the process can hold.
        return FormatFault(static_cast<DWORD>(E_OUTOFMEMORY));
    }
    if (!ReadBytes(out.data(), static_cast<DWORD>(length))) return ReadFault();
    return Fault();
}

}  // namespace reader_core
