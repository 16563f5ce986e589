#include "format/signer_trailer.h"

namespace signer_trailer {

std::vector<der::Reader> SequenceElements(const uint8_t* data, size_t size) {
    std::vector<der::Reader> elements;
    der::Reader walk(data, data ? size : 0), content, whole;
    uint8_t tag = 0;
    while (walk.PeekTag(tag) && tag == der::kSequence && walk.ReadAnyElement(tag, content, &whole))
        elements.push_back(whole);
    return elements;
}

}  // namespace signer_trailer
