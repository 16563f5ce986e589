#include "tests/pack/envelope_test_support.h"

#include <algorithm>
#include <map>
#include <memory>

#include "format/algorithms.h"
#include "format/rc2_params.h"
#include "format/service/encoding.h"
#include "tests/support/test_support.h"

namespace envelope_test {
namespace {

struct IdentityProfile {
    const wchar_t* name;
    DWORD bits;
    DWORD providerType;
    DWORD keySpec;
};

IdentityProfile ProfileOf(Who who) {
    switch (who) {
    case Who::kAlice: return {L"Alice Writer Test", 2048, PROV_RSA_AES, AT_KEYEXCHANGE};
    case Who::kBob: return {L"Bob Writer Test", 1024, PROV_RSA_FULL, AT_KEYEXCHANGE};
    case Who::kCarol: return {L"Carol Writer Test", 2048, PROV_RSA_AES, AT_SIGNATURE};
    case Who::kDave: return {L"Dave Writer Test", 1024, PROV_RSA_FULL, AT_KEYEXCHANGE};
    }
    return {};
}

std::vector<BYTE> EncodeName(const std::wstring& commonName) {
    std::wstring x500 = L"CN=" + commonName;
    DWORD size = 0;
    CertStrToNameW(X509_ASN_ENCODING, x500.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr);
    std::vector<BYTE> name(size);
    CertStrToNameW(X509_ASN_ENCODING, x500.c_str(), CERT_X500_NAME_STR, nullptr, name.data(), &size, nullptr);
    name.resize(size);
    return name;
}

std::unique_ptr<Identity> MakeIdentity(Who who) {
    IdentityProfile profile = ProfileOf(who);
    auto identity = std::make_unique<Identity>();
    identity->container = std::wstring(L"quill-writer-test-") + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(static_cast<int>(who));
    identity->providerType = profile.providerType;
    identity->keySpec = profile.keySpec;
    CryptAcquireContextW(identity->provider.put(), identity->container.c_str(), nullptr, profile.providerType,
                         CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(identity->provider.put(), identity->container.c_str(), nullptr, profile.providerType,
                              CRYPT_NEWKEYSET))
        return identity;
    KeyHandle key;
    if (!CryptGenKey(identity->provider.get(), profile.keySpec == AT_SIGNATURE ? AT_SIGNATURE : AT_KEYEXCHANGE,
                     (profile.bits << 16) | CRYPT_EXPORTABLE, key.put()))
        return identity;
    std::vector<BYTE> name = EncodeName(profile.name);
    CERT_NAME_BLOB subject = {static_cast<DWORD>(name.size()), name.data()};
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<wchar_t*>(identity->container.c_str());
    info.dwProvType = profile.providerType;
    info.dwKeySpec = profile.keySpec;
    identity->certificate.reset(
        CertCreateSelfSignCertificate(identity->provider.get(), &subject, 0, &info, nullptr, nullptr, nullptr, nullptr));
    return identity;
}

// Removes the containers when the test program ends.
class IdentityRegistry : public ::testing::Environment {
public:
    Identity& Get(Who who) {
        auto& slot = identities_[static_cast<int>(who)];
        if (!slot) slot = MakeIdentity(who);
        return *slot;
    }
    void TearDown() override {
        for (auto& entry : identities_) {
            Identity& identity = *entry.second;
            identity.certificate.reset();
            identity.provider.reset();
            HCRYPTPROV gone = 0;
            CryptAcquireContextW(&gone, identity.container.c_str(), nullptr, identity.providerType, CRYPT_DELETEKEYSET);
        }
        identities_.clear();
    }

private:
    std::map<int, std::unique_ptr<Identity>> identities_;
};

IdentityRegistry* Registry() {
    static IdentityRegistry* registry =
        static_cast<IdentityRegistry*>(::testing::AddGlobalTestEnvironment(new IdentityRegistry));
    return registry;
}
// Registered before main runs, so the environment's TearDown is called at the end.
IdentityRegistry* const kRegistered = Registry();

bool ReadWhole(der::Reader& reader, uint8_t tag, std::vector<uint8_t>& whole) {
    der::Reader content;
    der::Reader all;
    uint8_t found = 0;
    der::Reader copy = reader;
    if (!copy.ReadAnyElement(found, content, &all) || found != tag) return false;
    reader = copy;
    whole.assign(all.data(), all.data() + all.size());
    return true;
}

std::vector<uint8_t> ToVector(const der::Reader& r) { return std::vector<uint8_t>(r.data(), r.data() + r.size()); }

bool ParseRecipient(der::Reader in, Recipient& out) {
    der::Reader ias;
    der::Reader key;
    der::Reader serial;
    uint32_t version = 99;
    std::vector<uint8_t> issuer;
    if (!in.ReadSmallInteger(version) || version != 0 || !in.ReadElement(der::kSequence, ias) ||
        !ReadWhole(ias, der::kSequence, out.issuer) || !ias.ReadElement(der::kInteger, serial) || !ias.empty() ||
        !ReadWhole(in, der::kSequence, out.keyTransport) || !in.ReadElement(der::kOctetString, key) || !in.empty())
        return false;
    out.serial = ToVector(serial);
    out.encryptedKey = ToVector(key);
    return true;
}

bool ParseRecipients(der::Reader& body, Parsed& out) {
    der::Reader set;
    if (!body.ReadSmallInteger(out.version) || !body.ReadElement(der::kSet, set)) return false;
    while (!set.empty()) {
        der::Reader info;
        Recipient recipient;
        if (!set.ReadElement(der::kSequence, info) || !ParseRecipient(info, recipient)) return false;
        out.recipients.push_back(recipient);
    }
    return true;
}

bool ParseTrailer(der::Reader& body, Parsed& out) {
    uint8_t tag = 0;
    if (body.PeekTag(tag) && tag == der::kContext0) {
        if (!ReadWhole(body, der::kContext0, out.certificatesBlock)) return false;
        der::Reader certs(out.certificatesBlock);
        der::Reader inner;
        certs.ReadElement(der::kContext0, inner);
        while (!inner.empty()) {
            std::vector<uint8_t> certificate;
            if (!ReadWhole(inner, der::kSequence, certificate)) return false;
            out.certificates.push_back(certificate);
        }
    }
    if (!ReadWhole(body, der::kSet, out.signerInfosBlock)) return false;
    der::Reader infos(out.signerInfosBlock);
    der::Reader inner;
    infos.ReadElement(der::kSet, inner);
    while (!inner.empty()) {
        std::vector<uint8_t> info;
        if (!ReadWhole(inner, der::kSequence, info)) return false;
        out.signerInfos.push_back(info);
    }
    return body.empty();
}

bool ParseEncryptedContentInfo(der::Reader eci, bool constructed, Parsed& out) {
    der::Reader data;
    if (!eci.ReadElement(der::kOid, data) || ToVector(data) != Bytes({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 1, 7, 1}) ||
        !ReadWhole(eci, der::kSequence, out.algorithmIdentifier))
        return false;
    der::Reader content;
    if (constructed) {
        der::Reader wrapper;
        if (!eci.ReadElement(der::kContext0, wrapper) || !wrapper.ReadElement(der::kOctetString, content) ||
            !wrapper.empty())
            return false;
    } else if (!eci.ReadElement(der::kContext0Primitive, content)) {
        return false;
    }
    out.content = ToVector(content);
    return eci.empty();
}

bool ParseSigned(der::Reader body, Parsed& out) {
    der::Reader inner;
    der::Reader oid;
    der::Reader wrapper;
    der::Reader content;
    if (!body.ReadSmallInteger(out.version) || !ReadWhole(body, der::kSet, out.digestSet) ||
        !body.ReadElement(der::kSequence, inner) || !inner.ReadElement(der::kOid, oid) ||
        !inner.ReadElement(der::kContext0, wrapper) || !wrapper.ReadElement(der::kOctetString, content) ||
        !wrapper.empty() || !inner.empty())
        return false;
    out.content = ToVector(content);
    return ParseTrailer(body, out);
}

}  // namespace

Identity& Get(Who who) { return Registry()->Get(who); }

SignerEntry Signer(Who who) {
    Identity& identity = Get(who);
    SignerEntry entry;
    entry.certificate = identity.certificate.get();
    entry.provider = identity.provider.get();
    entry.keySpec = identity.keySpec;
    return entry;
}

CertHandle UnusableCertificate() {
    Identity& signer = Get(Who::kBob);
    std::vector<BYTE> name = EncodeName(L"Unusable Key Recipient");
    BYTE serial[] = {0x2A};
    BYTE publicKey[] = {0x01, 0x02, 0x03, 0x04};
    CERT_INFO info = {};
    info.dwVersion = CERT_V1;
    info.SerialNumber = {sizeof serial, serial};
    info.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SHA1RSA);
    info.Issuer = {static_cast<DWORD>(name.size()), name.data()};
    info.Subject = info.Issuer;
    SYSTEMTIME now;
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &info.NotBefore);
    now.wYear += 5;
    SystemTimeToFileTime(&now, &info.NotAfter);
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<LPSTR>("1.2.3.4.5");
    info.SubjectPublicKeyInfo.PublicKey = {sizeof publicKey, publicKey, 0};
    CRYPT_ALGORITHM_IDENTIFIER signature = {const_cast<LPSTR>(szOID_RSA_SHA1RSA), {}};
    DWORD size = 0;
    CryptSignAndEncodeCertificate(signer.provider.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED,
                                  &info, &signature, nullptr, nullptr, &size);
    std::vector<BYTE> encoded(size);
    if (!CryptSignAndEncodeCertificate(signer.provider.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                       X509_CERT_TO_BE_SIGNED, &info, &signature, nullptr, encoded.data(), &size))
        return CertHandle();
    return CertHandle(CertCreateCertificateContext(X509_ASN_ENCODING, encoded.data(), size));
}

ProviderHandle VerifyProvider(DWORD type) {
    ProviderHandle provider;
    CryptAcquireContextW(provider.put(), nullptr, nullptr, type, CRYPT_VERIFYCONTEXT);
    return provider;
}

Window::Window() {
    CreatePackerWindow(&window_);
    // The cases here are written against RC2-40 and SHA-1 in the RSA full type, whatever a first
    // start would choose.
    CVSettingsDlg& page = *window_.settingsPage;
    page.CryptCSPtype = PROV_RSA_FULL;
    page.EncryptAlgorithmID = CALG_RC2;
    page.EncryptKeyLength = 40;
    page.HashAlgorithmID = CALG_SHA1;
}
Window::~Window() { DestroyPackerWindow(&window_); }

void Window::AddRecipient(PCCERT_CONTEXT certificate) {
    window_.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(certificate)), FALSE);
}

WriteResult WriteToFile(Window& window, const std::vector<uint8_t>& plaintext, std::vector<SignerEntry> signers,
                        HCRYPTPROV provider, ULONG maxRead, bool lateEnd, const std::vector<uint8_t>& prefix,
                        DWORD sizeBound) {
    testing_support::TempDir dir;
    std::wstring path = dir.File(L"out.pkcs7");
    WriteResult result;
    {
        FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!prefix.empty()) WriteFile(file.get(), prefix.data(), static_cast<DWORD>(prefix.size()), &written, nullptr);
        testing_support::MemoryStream source(plaintext, maxRead, lateEnd);
        DWORD size = window.settings().CreateSelfdecodedFile ? 0 : static_cast<DWORD>(plaintext.size());
        const DWORD count = static_cast<DWORD>(signers.size());
        result.ok = (sizeBound ? WriteEnvelopeOfUnknownLength(file.get(), &source, sizeBound, signers.data(), count,
                                                              window.get(), provider)
                               : WriteEnvelope(file.get(), &source, size, signers.data(), count, window.get(),
                                               provider)) != FALSE;
        result.error = GetLastError();
    }
    result.file = testing_support::ReadFileBytes(path);
    return result;
}

bool Parse(const std::vector<uint8_t>& bytes, Parsed& out) {
    der::Reader file(bytes);
    der::Reader contentInfo;
    der::Reader oid;
    der::Reader explicitContent;
    der::Reader body;
    if (!file.ReadElement(der::kSequence, contentInfo) || !file.empty() ||
        !ReadWhole(contentInfo, der::kOid, out.outerOid) || !contentInfo.ReadElement(der::kContext0, explicitContent) ||
        !contentInfo.empty() || !explicitContent.ReadElement(der::kSequence, body) || !explicitContent.empty())
        return false;
    const uint8_t type = out.outerOid.back();
    if (type == 2) return ParseSigned(body, out);
    der::Reader eci;
    if (!ParseRecipients(body, out)) return false;
    if (type == 4 && !ReadWhole(body, der::kSet, out.digestSet)) return false;
    if (!body.ReadElement(der::kSequence, eci) || !ParseEncryptedContentInfo(eci, type == 4, out)) return false;
    if (type == 4) return ParseTrailer(body, out);
    return body.empty();
}

KeyHandle ImportSessionKey(Identity& who, const Parsed& parsed, size_t recipientIndex) {
    return ImportSessionKey(who.provider.get(), parsed, recipientIndex);
}

KeyHandle ImportSessionKey(HCRYPTPROV keyProvider, const Parsed& parsed, size_t recipientIndex) {
    der::Reader algorithm(parsed.algorithmIdentifier);
    der::Reader inner;
    der::Reader oid;
    algorithm.ReadElement(der::kSequence, inner);
    inner.ReadElement(der::kOid, oid);
    const ALG_ID algId = alg::AlgorithmFromOid(oid.data(), oid.size());
    const std::vector<uint8_t>& wrapped = parsed.recipients.at(recipientIndex).encryptedKey;

    std::vector<BYTE> blob(sizeof(BLOBHEADER) + sizeof(ALG_ID));
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.data());
    header->bType = SIMPLEBLOB;
    header->bVersion = CUR_BLOB_VERSION;
    header->aiKeyAlg = algId;
    *reinterpret_cast<ALG_ID*>(blob.data() + sizeof(BLOBHEADER)) = CALG_RSA_KEYX;
    blob.insert(blob.end(), wrapped.rbegin(), wrapped.rend());
    KeyHandle privateKey;
    KeyHandle key;
    if (!CryptGetUserKey(keyProvider, AT_KEYEXCHANGE, privateKey.put()) ||
        !CryptImportKey(keyProvider, blob.data(), static_cast<DWORD>(blob.size()), privateKey.get(), 0, key.put()))
        return KeyHandle();
    uint8_t tag = 0;
    inner.PeekTag(tag);
    if (!(algId == CALG_RC4 && tag == der::kOctetString)) {
        // Some providers give an imported short key a zero salt; the envelope's key has none.
        CRYPT_DATA_BLOB noSalt = {0, nullptr};
        CryptSetKeyParam(key.get(), KP_SALT_EX, reinterpret_cast<BYTE*>(&noSalt), 0);
    }
    if (algId == CALG_RC2) {
        rc2::Parameters params;
        if (!rc2::DecodeParameters(inner.data(), inner.size(), params)) return KeyHandle();
        DWORD bits = alg::Rc2BitsForVersion(params.version);
        CryptSetKeyParam(key.get(), KP_EFFECTIVE_KEYLEN, reinterpret_cast<BYTE*>(&bits), 0);
        if (params.hasIv) CryptSetKeyParam(key.get(), KP_IV, params.iv, 0);
    } else if (tag == der::kOctetString) {
        der::Reader value;
        inner.ReadElement(der::kOctetString, value);
        std::vector<BYTE> bytes = ToVector(value);
        // The salt goes in the way a reader sets it: KP_SALT on the imported key.
        if (algId == CALG_RC4) {
            if (!CryptSetKeyParam(key.get(), KP_SALT, bytes.data(), 0)) return KeyHandle();
        } else if (!CryptSetKeyParam(key.get(), KP_IV, bytes.data(), 0)) {
            return KeyHandle();
        }
    }
    return key;
}

std::vector<uint8_t> Decrypt(HCRYPTKEY key, std::vector<uint8_t> ciphertext) {
    DWORD length = static_cast<DWORD>(ciphertext.size());
    ciphertext.reserve(ciphertext.size() + 1);  // a valid pointer also for empty content
    if (!CryptDecrypt(key, 0, TRUE, 0, ciphertext.data(), &length)) return {0xDE, 0xAD};
    ciphertext.resize(length);
    return ciphertext;
}

::testing::AssertionResult VerifySignerInfo(const std::vector<uint8_t>& signerInfo, PCCERT_CONTEXT signer,
                                            const std::vector<uint8_t>& content, HCRYPTKEY encryptedWith) {
    std::vector<uint64_t> decoded;
    if (!DecodeObject(PKCS7_SIGNER_INFO, signerInfo.data(), static_cast<DWORD>(signerInfo.size()), 0, decoded))
        return ::testing::AssertionFailure() << "SignerInfo does not decode";
    const auto* info = Decoded<CMSG_SIGNER_INFO>(decoded);
    if (!CertCompareCertificateName(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&info->Issuer),
                                    &signer->pCertInfo->Issuer) ||
        !CertCompareIntegerBlob(const_cast<CRYPT_INTEGER_BLOB*>(&info->SerialNumber), &signer->pCertInfo->SerialNumber))
        return ::testing::AssertionFailure() << "issuerAndSerialNumber differs from the signer's";
    if (info->AuthAttrs.cAttr || info->UnauthAttrs.cAttr) return ::testing::AssertionFailure() << "attributes present";
    const std::string digestOid = info->HashAlgorithm.pszObjId;
    const ALG_ID hashAlg = digestOid == szOID_RSA_MD5       ? CALG_MD5
                           : digestOid == szOID_OIWSEC_sha1  ? CALG_SHA1
                           : digestOid == szOID_NIST_sha256  ? CALG_SHA_256
                           : digestOid == szOID_NIST_sha384  ? CALG_SHA_384
                           : digestOid == szOID_NIST_sha512  ? CALG_SHA_512
                                                             : 0;
    if (!hashAlg) return ::testing::AssertionFailure() << "digest algorithm " << digestOid;
    std::vector<BYTE> signature(info->EncryptedHash.pbData, info->EncryptedHash.pbData + info->EncryptedHash.cbData);
    if (encryptedWith) signature = Decrypt(encryptedWith, signature);
    std::reverse(signature.begin(), signature.end());

    ProviderHandle provider = VerifyProvider(PROV_RSA_AES);  // the type with every hash above
    KeyHandle publicKey;
    HashHandle hash;
    if (!CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING, &signer->pCertInfo->SubjectPublicKeyInfo,
                                  publicKey.put()) ||
        !CryptCreateHash(provider.get(), hashAlg, 0, 0, hash.put()) ||
        !CryptHashData(hash.get(), content.data(), static_cast<DWORD>(content.size()), 0))
        return ::testing::AssertionFailure() << "cannot prepare the check: " << GetLastError();
    if (!CryptVerifySignature(hash.get(), signature.data(), static_cast<DWORD>(signature.size()), publicKey.get(),
                              nullptr, 0))
        return ::testing::AssertionFailure() << "signature does not verify: 0x" << std::hex << GetLastError();
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) { return std::vector<uint8_t>(list); }

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

}  // namespace envelope_test
