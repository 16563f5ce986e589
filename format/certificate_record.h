// The record a certificate list keeps per certificate in the registry: the certificate's DER
// encoding, then optionally F (4 bytes, little-endian), F bytes of friendly name and a key-provider
// block. The block is the 64-bit key-provider structure with its three pointers stored as offsets
// from the block's start, followed by what they point to.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace certificate_record {

// Size of the key-provider block's fixed head and where its fields lie.
constexpr size_t kKeyProviderHeadSize = 48;
constexpr size_t kContainerNameField = 0;
constexpr size_t kProviderNameField = 8;
constexpr size_t kProviderTypeField = 16;
constexpr size_t kFlagsField = 20;
constexpr size_t kParameterCountField = 24;
constexpr size_t kParameterArrayField = 32;
constexpr size_t kKeySpecField = 40;
// A parameter entry: parameter id (4), padding (4), data pointer (8), data size (4), flags (4).
constexpr size_t kParameterEntrySize = 24;
constexpr size_t kParameterDataField = 8;
constexpr size_t kParameterSizeField = 16;

// Length of the DER certificate at the start of the data (tag 0x30, short form or 1 to 4 length
// bytes), or 0 when the data does not start with a whole certificate.
size_t CertificateLength(const uint8_t* data, size_t size);

// A record split into its parts; a missing part has length 0.
struct Parts {
    const uint8_t* certificate = nullptr;
    size_t certificateLength = 0;
    const uint8_t* friendlyName = nullptr;
    size_t friendlyNameLength = 0;
    const uint8_t* keyProvider = nullptr;
    size_t keyProviderLength = 0;
};

// False when the data does not start with a whole certificate. A friendly name whose length F
// runs past the data is ignored, and so is everything after it; a key-provider block needs at
// least the fixed head.
bool SplitRecord(const uint8_t* data, size_t size, Parts& parts);

// Certificate, then (when a name or a block is given) F and the name, then the block. A block
// without a name gets F = 4 with four zero bytes.
std::vector<uint8_t> BuildRecord(const uint8_t* certificate, size_t certificateLength, const uint8_t* friendlyName,
                                 size_t friendlyNameLength, const uint8_t* keyProvider, size_t keyProviderLength);

// Turns the three pointers of a key-provider structure laid out at address base into offsets
// from base, in place, and so the data pointer of each parameter entry: the platform lays the
// parameters' data out inside the same block. A pointer outside the block becomes 0 (a parameter
// whose data lies outside also loses its size). False when the block is shorter than its head.
bool PointersToOffsets(uint8_t* block, size_t size, uint64_t base);

// Checks a stored block before it is turned back into pointers: each offset must lie inside the
// block, names must end with a NUL inside it, the parameter array must fit.
bool IsValidKeyProviderBlock(const uint8_t* block, size_t size);

// The reverse of PointersToOffsets for a block now at address base (each non-zero offset plus
// base). Parameters come back when every entry's data lies inside the block; a block whose
// entries still hold another process's pointers (as older records do) keeps its names but loses
// its parameters (count and array 0). False for an invalid block.
bool OffsetsToPointers(uint8_t* block, size_t size, uint64_t base);

}  // namespace certificate_record
