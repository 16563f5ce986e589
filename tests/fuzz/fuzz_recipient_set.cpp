// The RecipientInfos walk as the self-decoding program does it: entry by entry until one that is
// no entry. Every field of an entry read lies inside that entry, in order.
#include <cstring>

#include "format/algorithms.h"
#include "format/recipient_set.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// b starts at or after the end of a.
bool After(const der::Reader& a, const der::Reader& b) { return b.data() >= a.data() + a.size(); }

void CheckEntry(const recipient_set::Entry& entry, const uint8_t* start, size_t size) {
    FUZZ_CHECK(entry.version == 0 && !entry.serial.empty());
    for (const der::Reader* field : {&entry.issuer, &entry.serial, &entry.keyEncryptionAlgorithm, &entry.encryptedKey})
        FUZZ_CHECK(fuzz::Inside(*field, start, size));
    FUZZ_CHECK(After(entry.issuer, entry.serial) && After(entry.serial, entry.keyEncryptionAlgorithm));
    FUZZ_CHECK(entry.encryptedKey.empty() || After(entry.keyEncryptionAlgorithm, entry.encryptedKey));
    FUZZ_CHECK(entry.issuer.data()[0] == der::kSequence);
    const auto& rsa = envelope_bytes::kKeyTransportAlgorithm;
    FUZZ_CHECK(entry.keyEncryptionAlgorithm.size() == sizeof rsa &&
               std::memcmp(entry.keyEncryptionAlgorithm.data(), rsa, sizeof rsa) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    der::Reader set(data, size);
    while (!set.empty()) {
        const uint8_t* start = set.data();
        const size_t before = set.size();
        recipient_set::Entry entry;
        recipient_set::EntryStatus status = recipient_set::ReadEntry(set, entry);
        if (status == recipient_set::EntryStatus::kNotAnEntry) {
            FUZZ_CHECK(set.size() == before);
            break;
        }
        FUZZ_CHECK(set.size() < before && start[0] == der::kSequence);
        if (status == recipient_set::EntryStatus::kRead) CheckEntry(entry, start, before - set.size());
    }
    return 0;
}
