// The streaming signedData parser: the input is fed whole and again in pieces (the piece size
// comes from the first byte), and both runs must see the same message.
#include <algorithm>
#include <vector>

#include "format/ber_stream.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Records the calls, and checks they come in order.
class Recorder : public ber::ContentHandler {
public:
    bool OnContentBegin() override {
        FUZZ_CHECK(!begun && !ended);
        begun = true;
        return true;
    }
    bool OnContent(const uint8_t* data, size_t size) override {
        FUZZ_CHECK(begun && !ended && size > 0);
        content.insert(content.end(), data, data + size);
        return true;
    }
    bool OnContentEnd() override {
        FUZZ_CHECK(begun && !ended);
        ended = true;
        return true;
    }
    bool begun = false;
    bool ended = false;
    std::vector<uint8_t> content;
};

struct Run {
    bool finished = false;
    ber::StreamError error = ber::StreamError::kNone;
    Recorder recorder;
};

void Feed(const uint8_t* data, size_t size, bool withContentInfo, size_t piece, Run& run) {
    ber::SignedDataStream stream(withContentInfo, &run.recorder);
    bool fed = true;
    for (size_t at = 0; at < size && fed; at += piece) fed = stream.Feed(data + at, std::min(piece, size - at));
    run.finished = fed && stream.Finish();
    run.error = stream.error();
    FUZZ_CHECK(run.finished == (run.error == ber::StreamError::kNone));
    FUZZ_CHECK(run.recorder.content.size() <= size);
    if (!run.finished) return;
    FUZZ_CHECK(stream.complete() && run.recorder.ended);
    FUZZ_CHECK(!stream.contentType().empty());
    // Every kept element is one whole definite-length element.
    for (const auto* kept : {&stream.certificates(), &stream.signerInfos()}) {
        for (const std::vector<uint8_t>& element : *kept) {
            der::Reader whole(element), content;
            uint8_t tag = 0;
            FUZZ_CHECK(whole.ReadAnyElement(tag, content) && whole.empty());
        }
    }
    for (const std::vector<uint8_t>& signerInfo : stream.signerInfos()) {
        std::vector<uint8_t> set;
        if (ber::AuthenticatedAttributesAsSet(signerInfo.data(), signerInfo.size(), set)) {
            FUZZ_CHECK(set.size() <= signerInfo.size() && set[0] == der::kSet);
            der::Reader reader(set), content;
            FUZZ_CHECK(reader.ReadElement(der::kSet, content) && reader.empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool withContentInfo = data[0] & 1;
    const size_t piece = 1 + (data[0] >> 1) % 17;
    ++data;
    --size;
    Run whole, pieces;
    Feed(data, size, withContentInfo, size ? size : 1, whole);
    Feed(data, size, withContentInfo, piece, pieces);
    FUZZ_CHECK(whole.finished == pieces.finished && whole.error == pieces.error);
    FUZZ_CHECK(whole.recorder.content == pieces.recorder.content);
    return 0;
}
