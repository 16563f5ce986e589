// DER/BER length rule and a small bounds-checked reader and builder over byte buffers.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace der {

// Tags the envelopes use.
enum Tag : uint8_t {
    kInteger = 0x02,
    kOctetString = 0x04,
    kNull = 0x05,
    kOid = 0x06,
    kSequence = 0x30,
    kSet = 0x31,
    kContext0 = 0xA0,           // [0] constructed
    kContext0Primitive = 0x80,  // [0] implicit, primitive
};

// Most length bytes after the 0x80 + k byte the rule writes and reads (k = 1..8).
constexpr uint32_t kMaxLengthBytes = 8;

// Number of bytes the length rule writes for a length: 1 below 128, else 1 + significant bytes
// (so lengths below 4 GiB keep their 1 to 5 bytes, and only longer ones grow, up to 9).
uint32_t LengthSize(uint64_t length);

// Writes the length rule's bytes into out (room for 9 bytes); returns the count written.
uint32_t WriteLength(uint8_t* out, uint64_t length);

void AppendLength(std::vector<uint8_t>& out, uint64_t length);

// Tag, length and content size of an element with content of the given size.
inline uint64_t ElementSize(uint64_t contentLength) { return 1 + LengthSize(contentLength) + contentLength; }

// Appends tag, length and content.
void AppendElement(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* content, size_t length);
void AppendElement(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& content);

// Result of reading a length: the value and how many bytes it took.
// used == 1 with value == 0 after a first byte 0x80 is the open (indefinite) form.
struct ParsedLength {
    uint64_t value = 0;
    uint32_t used = 0;
    bool open = false;  // the first byte was 0x80
};

// The reader's length rule over a buffer: short form, or 0x80 + k (k = 1..8) big-endian bytes.
// 0x80 is the open form (value 0, one byte used); k above 8, or too few bytes, leaves value 0 with
// one byte used. No byte available: used = 0.
ParsedLength ParseDerLength(const uint8_t* data, size_t available);

// Same rule, fed byte by byte from any source (a file, a stream).
// next(uint8_t&) returns false when the source has no more bytes.
template <typename NextByte>
ParsedLength ReadDerLength(NextByte&& next) {
    ParsedLength result;
    uint8_t first = 0;
    if (!next(first)) return result;
    result.used = 1;
    if (first < 0x80) {
        result.value = first;
        return result;
    }
    // All seven low bits count the length bytes: 0x91 or 0xA2 state 17 and 34 bytes, not 1 and 2.
    uint32_t count = first & 0x7F;
    if (first == 0x80) {
        result.open = true;
        return result;
    }
    if (count < 1 || count > kMaxLengthBytes) return result;
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t b = 0;
        if (!next(b)) return result;
        value = (value << 8) | b;
        ++result.used;
    }
    result.value = value;
    return result;
}

// A non-owning view of bytes. Every getter checks bounds and advances only on success, so a whole
// parse reads as a chain of calls that ends by checking the view is empty.
class Reader {
public:
    Reader() = default;
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit Reader(const std::vector<uint8_t>& bytes) : data_(bytes.data()), size_(bytes.size()) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    bool PeekTag(uint8_t& tag) const;
    bool ReadByte(uint8_t& value);
    bool Skip(size_t count);
    bool ReadBytes(size_t count, Reader& out);

    // Reads one definite-length element with the given tag; out is its content.
    // The open form is refused here: buffered structures always have definite lengths.
    bool ReadElement(uint8_t tag, Reader& content);
    // Reads one definite-length element of any tag; whole is tag + length + content.
    bool ReadAnyElement(uint8_t& tag, Reader& content, Reader* whole = nullptr);
    // Reads the element only when its tag matches; present tells whether it did.
    bool ReadOptionalElement(uint8_t tag, Reader& content, bool& present);

    // Reads a small unsigned INTEGER (at most 4 content bytes) as a value.
    bool ReadSmallInteger(uint32_t& value);

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace der
