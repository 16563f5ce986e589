// Shared pieces of the fuzz targets: an invariant check that stops the run with a message (a
// failed check is a finding just like a crash), and a view test.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "format/der.h"

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace fuzz {

// The view lies wholly inside [data, data + size).
inline bool Inside(const der::Reader& view, const uint8_t* data, size_t size) {
    if (view.size() == 0) return true;
    return view.data() >= data && view.size() <= size && view.data() - data <= static_cast<ptrdiff_t>(size - view.size());
}

}  // namespace fuzz
