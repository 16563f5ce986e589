// Fuzz target: the PKCS#12 reader down to its bags, and the PKCS#8 RSA reader with the key blob
// built from what it accepts. No decryption: the parsers alone face the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "format/pkcs12.h"
#include "format/pkcs8.h"

namespace {

bool Inside(const der::Reader& view, const uint8_t* data, size_t size) {
    return view.empty() || (view.data() >= data && view.data() + view.size() <= data + size);
}

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckKey(const der::Reader& info, const uint8_t* data, size_t size) {
    pkcs8::RsaPrivateKey key;
    if (!pkcs8::ParsePrivateKeyInfo(info, key)) return;
    Require(Inside(key.modulus, data, size) && Inside(key.coefficient, data, size));
    std::vector<uint8_t> blob;
    if (pkcs8::BuildPrivateKeyBlob(key, blob))
        Require(blob.size() == pkcs8::PrivateKeyBlobSize(static_cast<uint32_t>(key.modulus.size() * 8)));
}

void CheckSafeContents(const der::Reader& contents, const uint8_t* data, size_t size) {
    std::vector<pkcs12::SafeBag> bags;
    if (!pkcs12::ParseSafeContents(contents, bags)) return;
    for (const pkcs12::SafeBag& bag : bags) {
        Require(Inside(bag.localKeyId, data, size) && Inside(bag.certificate, data, size));
        if (bag.type == pkcs12::BagType::kKey) CheckKey(bag.privateKeyInfo, data, size);
        if (bag.type == pkcs12::BagType::kShroudedKey)
            Require(bag.shrouded.encryption.keySize > 0 && bag.shrouded.encryption.iterations >= 1 &&
                    Inside(bag.shrouded.ciphertext, data, size));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    der::Reader input(data, size);
    // The same bytes also go in as a bare PrivateKeyInfo and a bare SafeContents.
    CheckKey(input, data, size);
    CheckSafeContents(input, data, size);
    pkcs12::Pfx pfx;
    if (!pkcs12::ParsePfx(input, pfx)) return 0;
    Require(Inside(pfx.authSafe, data, size));
    Require(!pfx.hasMac || pfx.mac.value.size() == pfx.mac.digest.outputSize);
    std::vector<pkcs12::SafePart> parts;
    if (!pkcs12::ParseAuthenticatedSafe(pfx.authSafe, parts)) return 0;
    for (const pkcs12::SafePart& part : parts) {
        if (part.encrypted) Require(part.sealed.encryption.cipher != 0 && Inside(part.sealed.ciphertext, data, size));
        else CheckSafeContents(part.contents, data, size);
    }
    return 0;
}
