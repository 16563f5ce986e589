// The buffered parts of the signer trailer after an envelope's content: the content of the
// certificates [0] set and of the signerInfos SET, each a run of SEQUENCE elements.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/der.h"

namespace signer_trailer {

// Each SEQUENCE element (tag, length and content) at the start of the data, in order. The walk
// ends at the first element that is not a whole definite-length SEQUENCE: other certificate forms
// and damaged bytes end the list rather than fail it.
std::vector<der::Reader> SequenceElements(const uint8_t* data, size_t size);

}  // namespace signer_trailer
