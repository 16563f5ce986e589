// The certificates and signerInfos walks: the elements found follow each other from the start,
// each is one whole SEQUENCE, and whatever follows the last is not one.
#include "format/signer_trailer.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* next = data;
    for (const der::Reader& element : signer_trailer::SequenceElements(data, size)) {
        FUZZ_CHECK(element.data() == next && fuzz::Inside(element, data, size));
        der::Reader whole = element, content;
        FUZZ_CHECK(whole.ReadElement(der::kSequence, content) && whole.empty());
        next = element.data() + element.size();
    }
    der::Reader rest(next, size - (next - data)), content;
    FUZZ_CHECK(!rest.ReadElement(der::kSequence, content));
    return 0;
}
