// The record that tells the program its own file size. The build writes the size into it after
// linking and fails when the record is missing or disagrees with the file.
#pragma once
#include <cstdint>

namespace quendrix {

struct TemplateSizeRecord {
    uint8_t magic[8];
    uint32_t size;
};

// Defined in a source the build generates (the size of the linked file).
extern "C" volatile const TemplateSizeRecord quendrixTemplateSize;

}  // namespace quendrix
