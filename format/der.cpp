#include "format/der.h"

namespace der {

uint32_t LengthSize(uint64_t length) {
    if (length < 0x80) return 1;
    uint32_t bytes = 0;
    for (uint64_t rest = length; rest != 0; rest >>= 8) ++bytes;
    return 1 + bytes;
}

uint32_t WriteLength(uint8_t* out, uint64_t length) {
    uint32_t size = LengthSize(length);
    if (size == 1) {
        out[0] = static_cast<uint8_t>(length);
        return 1;
    }
    uint32_t count = size - 1;
    out[0] = static_cast<uint8_t>(0x80 + count);
    for (uint32_t i = 0; i < count; ++i)
        out[1 + i] = static_cast<uint8_t>(length >> (8 * (count - 1 - i)));
    return size;
}

void AppendLength(std::vector<uint8_t>& out, uint64_t length) {
    uint8_t bytes[1 + kMaxLengthBytes];
    uint32_t n = WriteLength(bytes, length);
    out.insert(out.end(), bytes, bytes + n);
}

void AppendElement(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* content, size_t length) {
    out.push_back(tag);
    AppendLength(out, length);
    if (length) out.insert(out.end(), content, content + length);
}

void AppendElement(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& content) {
    AppendElement(out, tag, content.data(), content.size());
}

ParsedLength ParseDerLength(const uint8_t* data, size_t available) {
    size_t position = 0;
    auto next = [&](uint8_t& b) {
        if (position >= available) return false;
        b = data[position++];
        return true;
    };
    // The buffer form needs all k length bytes present, else the value stays 0 with one byte used.
    if (available > 0 && data[0] > 0x80) {
        uint32_t count = data[0] & 0x7F;
        if (count >= 1 && count <= kMaxLengthBytes && available < count + 1u) {
            ParsedLength partial;
            partial.used = 1;
            return partial;
        }
    }
    return ReadDerLength(next);
}

bool Reader::PeekTag(uint8_t& tag) const {
    if (size_ == 0) return false;
    tag = data_[0];
    return true;
}

bool Reader::ReadByte(uint8_t& value) {
    if (size_ == 0) return false;
    value = data_[0];
    ++data_;
    --size_;
    return true;
}

bool Reader::Skip(size_t count) {
    if (count > size_) return false;
    data_ += count;
    size_ -= count;
    return true;
}

bool Reader::ReadBytes(size_t count, Reader& out) {
    if (count > size_) return false;
    out = Reader(data_, count);
    return Skip(count);
}

bool Reader::ReadAnyElement(uint8_t& tag, Reader& content, Reader* whole) {
    if (size_ < 2) return false;
    uint8_t first = data_[1];
    ParsedLength length = ParseDerLength(data_ + 1, size_ - 1);
    // Refuse the open form, over-long length forms and lengths past the end.
    if (length.used == 0 || first == 0x80 || (first > 0x80 && length.used == 1)) return false;
    size_t header = 1 + length.used;
    if (length.value > size_ - header) return false;
    const size_t value = static_cast<size_t>(length.value);
    tag = data_[0];
    if (whole) *whole = Reader(data_, header + value);
    content = Reader(data_ + header, value);
    return Skip(header + value);
}

bool Reader::ReadElement(uint8_t tag, Reader& content) {
    uint8_t actual = 0;
    if (size_ == 0 || data_[0] != tag) return false;
    return ReadAnyElement(actual, content);
}

bool Reader::ReadOptionalElement(uint8_t tag, Reader& content, bool& present) {
    present = size_ > 0 && data_[0] == tag;
    if (!present) return true;
    return ReadElement(tag, content);
}

bool Reader::ReadSmallInteger(uint32_t& value) {
    Reader content;
    if (!ReadElement(kInteger, content) || content.empty() || content.size() > 5) return false;
    if (content.data()[0] & 0x80) return false;  // negative
    uint64_t v = 0;
    for (size_t i = 0; i < content.size(); ++i) v = (v << 8) | content.data()[i];
    if (v > 0xFFFFFFFFu) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace der
