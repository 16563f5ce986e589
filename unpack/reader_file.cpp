#include "unpack/reader_file.h"

#include "format/oid_element.h"

bool EnvelopeFile::ReadRaw(BYTE* out, DWORD count) {
    DWORD got = 0;
    if (!ReadFile(file_, out, count, &got, nullptr)) {
        systemError_ = GetLastError();
        return false;
    }
    if (got != count) {
        systemError_ = ERROR_HANDLE_EOF;
        return false;
    }
    return true;
}

bool EnvelopeFile::ReadByte(BYTE& value) {
    if (!ReadRaw(&value, 1)) return false;
    *offset_ += 1;
    return true;
}

bool EnvelopeFile::PeekByte(BYTE& value) {
    systemError_ = 0;
    if (!ReadRaw(&value, 1)) return false;
    LARGE_INTEGER back;
    back.QuadPart = -1;
    if (SetFilePointerEx(file_, back, nullptr, FILE_CURRENT)) return true;
    systemError_ = GetLastError();
    return false;
}

bool EnvelopeFile::ReadBytes(BYTE* out, DWORD count) {
    if (count == 0) return true;
    if (!ReadRaw(out, count)) return false;
    *offset_ += count;
    return true;
}

der::ParsedLength EnvelopeFile::PeekLength() {
    systemError_ = 0;
    auto next = [this](uint8_t& b) { return ReadRaw(&b, 1); };
    return der::ReadDerLength(next);
}

bool EnvelopeFile::ReadOid(std::vector<uint8_t>& value) {
    systemError_ = 0;
    auto next = [this](uint8_t& b) { return ReadRaw(&b, 1); };
    uint32_t consumed = 0;
    bool ok = der::ReadOidElement(next, value, consumed);
    *offset_ += consumed;
    return ok;
}

bool EnvelopeFile::SkipBytes(DWORD count) {
    LARGE_INTEGER distance;
    distance.QuadPart = count;
    if (!SetFilePointerEx(file_, distance, nullptr, FILE_CURRENT)) {
        systemError_ = GetLastError();
        return false;
    }
    *offset_ += count;
    return true;
}
