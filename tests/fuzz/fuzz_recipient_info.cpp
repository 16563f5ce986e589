// The RecipientInfos walk over every recipient kind: entry by entry until one that is no entry.
// Every view an entry read holds lies inside that entry, and its fields agree with its kind.
#include "format/recipient_info.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    der::Reader set(data, size);
    while (!set.empty()) {
        const uint8_t* start = set.data();
        const size_t before = set.size();
        recipient_info::Entry entry;
        recipient_info::EntryStatus status = recipient_info::ReadEntry(set, entry);
        if (status == recipient_info::EntryStatus::kNotAnEntry) {
            FUZZ_CHECK(set.size() == before);
            break;
        }
        FUZZ_CHECK(set.size() < before);
        if (status != recipient_info::EntryStatus::kRead) continue;
        const size_t used = before - set.size();
        FUZZ_CHECK(fuzz::Inside(entry.keyEncryptionAlgorithm, start, used) && fuzz::Inside(entry.encryptedKey, start, used));
        for (const recipient_info::Identifier& id : entry.recipients) {
            FUZZ_CHECK(fuzz::Inside(id.issuer, start, used) && fuzz::Inside(id.serial, start, used) &&
                       fuzz::Inside(id.subjectKeyId, start, used));
            FUZZ_CHECK(id.bySubjectKeyId ? !id.subjectKeyId.empty() && id.serial.empty() : !id.serial.empty());
        }
        if (entry.kind == recipient_info::Kind::kKeyTransport) {
            FUZZ_CHECK(entry.recipients.size() == 1);
            FUZZ_CHECK(entry.version == (entry.recipients[0].bySubjectKeyId ? 2u : 0u));
        }
        if (entry.transport == recipient_info::KeyTransport::kRsaOaep) FUZZ_CHECK(entry.oaep.hash && entry.oaep.mgf1Hash);
    }
    return 0;
}
