// A byte buffer for key material: overwritten before it is freed or reused.
// No platform types here: this file builds natively as well.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Writes zeros through a volatile pointer so the compiler cannot drop the stores as dead.
inline void WipeBytes(uint8_t* data, size_t size) {
    volatile uint8_t* p = data;
    for (size_t i = 0; i < size; ++i) p[i] = 0;
}

inline void WipeBytes(std::vector<uint8_t>& bytes) {
    WipeBytes(bytes.data(), bytes.size());
    bytes.clear();
}

class SecretBytes {
public:
    SecretBytes() = default;
    ~SecretBytes() { Clear(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    // A moved-from vector gives up its storage, so nothing is left to wipe behind.
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            Clear();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }

    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void Clear() { WipeBytes(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};
