// The envelope reader on a mutation corpus of real envelopes (enveloped, signed-and-enveloped,
// compressed and nested-signed files written by OpenSSL): every read ends with a result code, and
// a failed one leaves no output behind. QUILL_MUTATIONS sets the number of inputs (default 2,000).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "reader_test_keys.h"
#include "tests/support/test_support.h"
#include "unpack/envelope_reader.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;
using testing_support::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

// A fixed-seed generator: a failure names the input number, and the same number rebuilds it.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<uint32_t>(state_ >> 16);
    }
    size_t Below(size_t bound) { return bound ? Next() % bound : 0; }

private:
    uint64_t state_;
};

// Most faults sit in the headers and the signer trailer, so most positions fall in the first or
// last 600 bytes; the rest anywhere.
size_t Position(Random& random, size_t size) {
    if (size == 0) return 0;
    const size_t edge = std::min<size_t>(600, size);
    switch (random.Below(4)) {
    case 0: return random.Below(size);
    case 1: return size - 1 - random.Below(edge);
    default: return random.Below(edge);
    }
}

void Mutate(Random& random, Bytes& bytes) {
    static const uint8_t kTelling[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0x84, 0xFF, 0x04, 0x30, 0xA0};
    const size_t at = Position(random, bytes.size());
    switch (random.Below(7)) {
    case 0:
        if (!bytes.empty()) bytes[at] ^= static_cast<uint8_t>(1u << random.Below(8));
        break;
    case 1:
        if (!bytes.empty()) bytes[at] = kTelling[random.Below(sizeof(kTelling))];
        break;
    case 2:
        bytes.resize(at);
        break;
    case 3:
        bytes.erase(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 1 + random.Below(16)));
        break;
    case 4: {
        Bytes inserted(1 + random.Below(16));
        for (uint8_t& b : inserted) b = static_cast<uint8_t>(random.Next());
        bytes.insert(bytes.begin() + at, inserted.begin(), inserted.end());
        break;
    }
    case 5: {  // a run of the file repeated where it stands
        Bytes run(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 1 + random.Below(64)));
        bytes.insert(bytes.begin() + at, run.begin(), run.end());
        break;
    }
    default:  // a length that would reach far beyond the file
        for (size_t i = at; i < std::min(bytes.size(), at + 4); ++i) bytes[i] = 0xFF;
        break;
    }
}

size_t FilesIn(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

TEST(ReaderMutation, EveryMutatedEnvelopeEndsWithAResultAndFailuresLeaveNoOutput) {
    ASSERT_TRUE(testing_support::FindMyCertificate(L"Alice Recipient")) << "the test certificates are missing";
    StoreHandle store(CertOpenSystemStoreW(0, L"MY"));
    ASSERT_TRUE(store);
    UnpackSettings settings = reader_test::QuietSettings(store.get());

    std::vector<Bytes> corpus;
    for (const wchar_t* name : {L"reader-alice-aes256-1.pkcs7", L"reader-alice-rc4-0.pkcs7",
                                L"reader-alice-des3-0.pkcs7", L"reader-alice-rc2-40.pkcs7",
                                L"reader-stranger-alice-aes128.pkcs7", L"reader-alice-aes128.gz.pkcs7",
                                L"reader-alice-signed-des3.pkcs7", L"sig-type4-sha1.p7", L"sig-type4-sha256.p7"})
        corpus.push_back(ReadFileBytes(TestDataFile(name)));

    const char* wanted = std::getenv("QUILL_MUTATIONS");
    const unsigned count = wanted ? static_cast<unsigned>(std::strtoul(wanted, nullptr, 10)) : 2000;
    TempDir temp;
    const std::wstring input = temp.File(L"mutated.pkcs7");
    const std::wstring output = temp.File(L"mutated.out");
    unsigned succeeded = 0;
    for (unsigned n = 0; n < count; ++n) {
        Random random(n);
        Bytes bytes = corpus[n % corpus.size()];
        for (size_t steps = 1 + random.Below(3); steps > 0; --steps) Mutate(random, bytes);
        WriteFileBytes(input, bytes);

        // The job is ended before the checks, as the driver ends it: that removes a failed output.
        auto job = std::make_unique<UnpackJob>();
        job->inputPath = input;
        job->outputPath = output;
        // Every tenth input is only described, which passes over the content without a key.
        job->decodeMode = n % 10 == 9 ? kModeDescribe : kModeUnpack;
        const LONG result = ReadEnvelope(nullptr, &settings, job.get(), nullptr);
        const DWORD jobResult = job->jobResult;
        job.reset();
        ASSERT_TRUE(result == 0 || result == 1) << "input " << n << " returned " << result;
        ASSERT_NE(jobResult, 0xFFFFFFFFu) << "input " << n << " ended without a result";
        if (jobResult == 0) {
            ++succeeded;
            DeleteFileW(output.c_str());
        }
        ASSERT_FALSE(FileExists(output)) << "input " << n << " failed with " << jobResult << " and left output";
        ASSERT_EQ(FilesIn(temp.path()), 1u) << "input " << n << " left a file behind";
    }
    // Mutations that miss everything that is checked (a flipped bit inside a stream cipher's
    // ciphertext) still read; a corpus where nothing reads would be a corpus of broken files.
    EXPECT_GT(succeeded, 0u);
    EXPECT_LT(succeeded, count);
    std::printf("%u mutated envelopes read, %u of them without a fault\n", count, succeeded);
}

}  // namespace
