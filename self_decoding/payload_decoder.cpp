// DecodePayload: the directory behind the program, the output files, and the envelope in its
// self-decoding form read element by element from the program's own file.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "format/algorithms.h"
#include "format/der.h"
#include "format/rc2_params.h"
#include "format/service/crypto_handles.h"
#include "format/sfx_directory.h"
#include "self_decoding/decode_status.h"
#include "self_decoding/options.h"
#include "self_decoding/payload_keys.h"
#include "self_decoding/payload_signers.h"
#include "self_decoding/payload_sink.h"
#include "self_decoding/texts.h"

namespace quendrix {

namespace {

constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
constexpr DWORD kBadEncode = static_cast<DWORD>(CRYPT_E_BAD_ENCODE);
constexpr DWORD kUnexpected = static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
constexpr DWORD kUnknownAlgorithm = static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
constexpr DWORD kNoProvider = static_cast<DWORD>(CRYPT_E_NO_PROVIDER);
constexpr UINT kToFileText = 554;
// Largest read per block: the /b value times 512 must not ask for an absurd buffer.
constexpr DWORD kMaxBlockBits = 0x2000;

// The envelope part of the program file. Every read is bounded by the envelope's length, so a
// damaged length can never make the decoder read past it.
class PayloadFile {
public:
    PayloadFile(HANDLE file, DWORD length, DWORD* offset) : file_(file), length_(length), offset_(offset) {}

    DWORD position() const { return *offset_; }
    DWORD length() const { return length_; }
    DWORD remaining() const { return length_ - *offset_; }
    DWORD systemError() const { return systemError_; }

    bool ReadBytes(BYTE* out, DWORD count) {
        if (count > remaining()) {
            systemError_ = ERROR_HANDLE_EOF;
            return false;
        }
        DWORD got = 0;
        if (!ReadFile(file_, out, count, &got, nullptr)) {
            systemError_ = GetLastError();
            return false;
        }
        if (got != count) {
            systemError_ = ERROR_HANDLE_EOF;
            return false;
        }
        *offset_ += count;
        return true;
    }
    bool ReadByte(BYTE& value) { return ReadBytes(&value, 1); }

private:
    HANDLE file_;
    DWORD length_;
    DWORD* offset_;
    DWORD systemError_ = 0;
};

struct Fault {
    DWORD code = 0;
    DWORD systemError = 0;
    explicit operator bool() const { return code != 0; }
};

Fault Format(DWORD code) { return Fault{code, 0}; }

// A read that failed, also one that met the end of the file early: a file error, with the
// system's reason (ERROR_HANDLE_EOF for a file that ends too soon).
Fault ReadFault(const PayloadFile& file) { return Fault{kFileError, file.systemError()}; }

enum class LengthCheck { kNone, kEndsAtPayloadEnd, kAtLeastOne };

struct ElementHeader {
    DWORD length = 0;
    bool open = false;
    DWORD lengthBytes = 0;
};

Fault ReadElementHeader(PayloadFile& file, BYTE tag, LengthCheck check, ElementHeader& header) {
    const DWORD start = file.position();
    BYTE actual = 0;
    if (!file.ReadByte(actual)) return ReadFault(file);
    if (actual != tag) return Format(kUnexpected);
    bool readFailed = false;
    der::ParsedLength length = der::ReadDerLength([&](uint8_t& b) {
        if (file.ReadByte(b)) return true;
        readFailed = true;
        return false;
    });
    if (readFailed) return ReadFault(file);
    header.length = length.value;
    header.open = length.open;
    header.lengthBytes = length.used;
    if (check == LengthCheck::kEndsAtPayloadEnd && !length.open &&
        uint64_t{1} + length.used + length.value != uint64_t{file.length()} - start)
        return Format(kBadEncode);
    if (check == LengthCheck::kAtLeastOne && length.value == 0) return Format(kUnexpected);
    return Fault();
}

Fault ReadIntoBuffer(PayloadFile& file, DWORD length, std::vector<BYTE>& out) {
    // Checked before anything is allocated: the read would meet the end of the file.
    if (length > file.remaining()) return Fault{kFileError, ERROR_HANDLE_EOF};
    out.resize(length);
    if (length && !file.ReadBytes(out.data(), length)) return ReadFault(file);
    return Fault();
}

Fault ReadOid(PayloadFile& file, std::vector<uint8_t>& value) {
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kOid, LengthCheck::kAtLeastOne, header)) return fault;
    if (header.open) return Format(kUnexpected);
    return ReadIntoBuffer(file, header.length, value);
}

Fault ReadVersion(PayloadFile& file, BYTE expected) {
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kInteger, LengthCheck::kAtLeastOne, header)) return fault;
    if (header.length != 1) return Format(kUnexpected);
    BYTE version = 0;
    if (!file.ReadByte(version)) return ReadFault(file);
    return version == expected ? Fault() : Format(kUnexpected);
}

// Everything one decode holds while it reads the envelope.
struct Decode {
    IProgressDialog* progress = nullptr;
    QuendrixOptions* options = nullptr;
    DecodeStatus* status = nullptr;
    ExtractedFiles* files = nullptr;
    ContentAlgorithm algorithm;
    std::vector<BYTE> iv;  // IV, or the salt for RC4
    std::vector<BYTE> recipientInfos;
    std::vector<BYTE> digestSet;
    SessionKey session;
    ProviderHandle hashProvider;  // kind 2: the provider of the hash objects
    std::vector<HashHandle> hashes;
};

void Record(DecodeStatus* status, const Fault& fault) {
    status->jobResult = fault.code;
    if (fault.code == kFileError) status->readError = fault.systemError;
}

Fault ReadContentInfoStart(PayloadFile& file, DecodeStatus* status) {
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kEndsAtPayloadEnd, header)) return fault;
    std::vector<uint8_t> oid;
    if (Fault fault = ReadOid(file, oid)) return fault;
    if (oid.size() != 9 || std::memcmp(oid.data(), envelope_bytes::kPkcs7Prefix, 8) != 0 ||
        (oid[8] != 2 && oid[8] != 3 && oid[8] != 4))
        return Format(kUnknownAlgorithm);
    status->outerContentType = oid[8];
    return ReadElementHeader(file, der::kContext0, LengthCheck::kEndsAtPayloadEnd, header);
}

Fault ReadDataOid(PayloadFile& file) {
    std::vector<uint8_t> oid;
    if (Fault fault = ReadOid(file, oid)) return fault;
    if (oid.size() != 9 || std::memcmp(oid.data(), envelope_bytes::kOidData + 2, 9) != 0)
        return Format(kUnknownAlgorithm);
    return Fault();
}

// The content-encryption AlgorithmIdentifier: OID, then RC2 parameters, an IV/salt or NULL.
Fault ReadAlgorithm(PayloadFile& file, Decode& decode) {
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kAtLeastOne, header)) return fault;
    if (header.open) return Format(kUnexpected);
    std::vector<BYTE> identifier;
    if (Fault fault = ReadIntoBuffer(file, header.length, identifier)) return fault;
    der::Reader reader(identifier), oid;
    if (!reader.ReadElement(der::kOid, oid)) return Format(kUnexpected);
    decode.algorithm.oid.assign(oid.data(), oid.data() + oid.size());
    decode.algorithm.algId = alg::AlgorithmFromOid(oid.data(), oid.size());
    if (!alg::IsContentEncryption(decode.algorithm.algId)) return Format(kUnknownAlgorithm);
    if (decode.algorithm.algId == alg::kRc2) {
        rc2::Parameters parameters;
        if (rc2::DecodeParameters(reader.data(), reader.size(), parameters)) {
            decode.algorithm.rc2Bits = alg::Rc2BitsForVersion(parameters.version);
            if (parameters.hasIv) decode.iv.assign(parameters.iv, parameters.iv + 8);
        }
        return Fault();
    }
    der::Reader octets;
    bool present = false;
    if (reader.ReadOptionalElement(der::kOctetString, octets, present) && present)
        decode.iv.assign(octets.data(), octets.data() + octets.size());
    return Fault();
}

// Mode, effective key length and IV (RC4: salt) on the session key; 0 or the failing call's error.
DWORD SetUpSessionKey(Decode& decode) {
    HCRYPTKEY key = decode.session.key;
    const ALG_ID algId = decode.algorithm.algId;
    if (algId != CALG_RC4) {
        DWORD mode = CRYPT_MODE_CBC;
        if (!CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0)) return GetLastError();
    }
    if (algId == CALG_RC2 && decode.algorithm.rc2Bits) {
        if (!CryptSetKeyParam(key, KP_EFFECTIVE_KEYLEN, reinterpret_cast<const BYTE*>(&decode.algorithm.rc2Bits), 0))
            return GetLastError();
    }
    if (decode.iv.empty()) return 0;
    if (algId == CALG_RC4) {
        CRYPT_DATA_BLOB salt = {static_cast<DWORD>(decode.iv.size()), decode.iv.data()};
        return CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&salt), 0) ? 0 : GetLastError();
    }
    // KP_IV takes exactly one cipher block: an IV of another length would be read past its end.
    DWORD blockBits = 0;
    DWORD size = sizeof blockBits;
    if (!CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) ||
        decode.iv.size() != blockBits / 8)
        return static_cast<DWORD>(NTE_BAD_DATA);
    return CryptSetKeyParam(key, KP_IV, decode.iv.data(), 0) ? 0 : GetLastError();
}

// Bytes per content read: 512 times the cipher's block bits, or the /b value for a stream cipher.
DWORD ReadSize(const Decode& decode) {
    DWORD blockBits = 0;
    DWORD size = sizeof blockBits;
    if (!decode.session.key ||
        !CryptGetKeyParam(decode.session.key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) ||
        blockBits == 0)
        blockBits = static_cast<DWORD>(decode.options->DefaultEncryptionBlockSize > 0
                                           ? decode.options->DefaultEncryptionBlockSize
                                           : kDefaultBlockSize);
    if (blockBits > kMaxBlockBits) blockBits = kMaxBlockBits;
    return blockBits * 512;
}

// The hash objects named by the digest set.
void CreateDigestObjects(Decode& decode, HCRYPTPROV provider) {
    der::Reader set(decode.digestSet);
    uint8_t tag = 0;
    der::Reader content;
    while (!set.empty() && set.ReadAnyElement(tag, content) && tag == der::kSequence) {
        der::Reader oid;
        if (!content.ReadElement(der::kOid, oid)) continue;
        ALG_ID algId = alg::DigestAlgorithmFromOid(oid.data(), oid.size());
        HashHandle hash;
        if (CryptCreateHash(provider, algId, 0, 0, hash.put())) decode.hashes.push_back(std::move(hash));
    }
}

// The content element: [0] primitive with the length, or [0] constructed holding one OCTET STRING.
Fault ReadContentElement(PayloadFile& file, DWORD& contentLength) {
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return ReadFault(file);
    if (tag != der::kContext0 && tag != der::kContext0Primitive) return Format(kUnexpected);
    bool readFailed = false;
    auto next = [&](uint8_t& b) {
        if (file.ReadByte(b)) return true;
        readFailed = true;
        return false;
    };
    der::ParsedLength length = der::ReadDerLength(next);
    if (readFailed) return ReadFault(file);
    if (tag == der::kContext0Primitive) {
        if (length.open) return Format(kUnexpected);
        contentLength = length.value;
    } else {
        BYTE inner = 0;
        if (!file.ReadByte(inner)) return ReadFault(file);
        if (inner != der::kOctetString) return Format(kUnexpected);
        der::ParsedLength octets = der::ReadDerLength(next);
        if (readFailed) return ReadFault(file);
        if (octets.open || (octets.value == 0 && octets.used > 1 && octets.used != 5)) return Format(kUnexpected);
        contentLength = octets.value;
    }
    // The content must lie inside the payload: nothing is read beyond it.
    if (contentLength > file.remaining()) return Format(kBadEncode);
    return Fault();
}

// The content pass: decrypt (or, kind 2, only hash) block by block into the sink.
void ProcessContent(Decode& decode, PayloadFile& file, DWORD contentLength, PayloadSink& sink) {
    DecodeStatus* status = decode.status;
    const bool encrypted = decode.session.key != 0;
    const DWORD readSize = ReadSize(decode);
    std::unique_ptr<BYTE[]> buffer(new BYTE[readSize]);
    DWORD done = 0;
    // An empty content still gets its one final decryption: a block cipher needs its padding block.
    do {
        DWORD chunk = contentLength - done;
        const bool final = chunk <= readSize;
        if (!final) chunk = readSize;
        if (chunk && !file.ReadBytes(buffer.get(), chunk)) {
            Record(status, ReadFault(file));
            return;
        }
        done += chunk;
        DWORD plain = chunk;
        size_t firstOther = 0;
        if (encrypted) {
            HCRYPTHASH firstHash = decode.hashes.empty() ? 0 : decode.hashes[0].get();
            if (!CryptDecrypt(decode.session.key, firstHash, final, 0, buffer.get(), &plain)) {
                status->finalBlockStatus = static_cast<LONG>(GetLastError());
                status->jobResult = kNoDecryptCert;
                return;
            }
            if (final) status->finalBlockStatus = 0;
            firstOther = 1;
        }
        for (size_t i = firstOther; i < decode.hashes.size(); ++i)
            CryptHashData(decode.hashes[i].get(), buffer.get(), plain, 0);
        if (!sink.Write(buffer.get(), plain, final)) {
            status->writeError = GetLastError();
            status->jobResult = kFileError;
            return;
        }
        if (decode.progress) {
            if (decode.progress->HasUserCancelled()) {
                status->jobResult = ERROR_CANCELLED;
                return;
            }
            decode.progress->SetProgress(file.position(), file.length());
        }
    } while (done < contentLength);
}

// The signer trailer: optional certificates, then the SignerInfos, then the signer check.
void VerifyTrailer(Decode& decode, PayloadFile& file, HCRYPTPROV provider) {
    DecodeStatus* status = decode.status;
    std::vector<BYTE> certificates;
    std::vector<BYTE> signerInfos;
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return Record(status, ReadFault(file));
    if (tag == der::kContext0) {
        bool readFailed = false;
        der::ParsedLength length = der::ReadDerLength([&](uint8_t& b) {
            if (file.ReadByte(b)) return true;
            readFailed = true;
            return false;
        });
        if (readFailed || length.open || length.value > file.remaining()) return Record(status, Format(kBadEncode));
        if (Fault fault = ReadIntoBuffer(file, length.value, certificates)) return Record(status, fault);
        if (!file.ReadByte(tag)) return Record(status, ReadFault(file));
    }
    if (tag != der::kSet) return Record(status, Format(kUnexpected));
    bool readFailed = false;
    der::ParsedLength length = der::ReadDerLength([&](uint8_t& b) {
        if (file.ReadByte(b)) return true;
        readFailed = true;
        return false;
    });
    if (readFailed) return Record(status, ReadFault(file));
    if (length.open || length.value == 0) return Record(status, Format(kUnexpected));
    if (Fault fault = ReadIntoBuffer(file, length.value, signerInfos)) return Record(status, fault);
    std::vector<HCRYPTHASH> hashes;
    for (const HashHandle& hash : decode.hashes) hashes.push_back(hash.get());
    std::vector<SignerRecord> records;
    VerifyPayloadSigners(provider, hashes, decode.session.key, certificates, signerInfos,
                         decode.options->certificateStore, records);
    status->signatureStatus = CombinedSignatureStatus(records);
    status->signerText = SignerListText(records);
}

LONG ReadSignedPayload(Decode& decode, PayloadFile& file, PayloadSink& sink) {
    DecodeStatus* status = decode.status;
    ElementHeader header;
    Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kEndsAtPayloadEnd, header);
    if (!fault) fault = ReadVersion(file, 1);
    if (!fault) fault = ReadElementHeader(file, der::kSet, LengthCheck::kAtLeastOne, header);
    if (!fault) fault = header.open ? Format(kUnexpected) : ReadIntoBuffer(file, header.length, decode.digestSet);
    if (!fault) fault = ReadElementHeader(file, der::kSequence, LengthCheck::kNone, header);
    if (!fault) fault = ReadDataOid(file);
    if (!fault) fault = ReadElementHeader(file, der::kContext0, LengthCheck::kNone, header);
    DWORD contentLength = 0;
    if (!fault) {
        // The content element here is the OCTET STRING itself: read it through the [0] path.
        BYTE octetsTag = 0;
        bool readFailed = false;
        if (!file.ReadByte(octetsTag)) {
            fault = ReadFault(file);
        } else if (octetsTag != der::kOctetString) {
            fault = Format(kUnexpected);
        } else {
            der::ParsedLength length = der::ReadDerLength([&](uint8_t& b) {
                if (file.ReadByte(b)) return true;
                readFailed = true;
                return false;
            });
            if (readFailed) fault = ReadFault(file);
            else if (length.open) fault = Format(kUnexpected);
            else if (length.value > file.remaining()) fault = Format(kBadEncode);
            contentLength = length.value;
        }
    }
    if (fault) {
        Record(status, fault);
        return 1;
    }
    if (!CryptAcquireContextA(decode.hashProvider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        status->signatureStatus = static_cast<LONG>(GetLastError());
        status->jobResult = kNoProvider;
        return 0;
    }
    status->jobResult = 0;
    CreateDigestObjects(decode, decode.hashProvider.get());
    ProcessContent(decode, file, contentLength, sink);
    if (status->jobResult == 0) VerifyTrailer(decode, file, decode.hashProvider.get());
    return 0;
}

LONG ReadEnvelopedPayload(Decode& decode, PayloadFile& file, PayloadSink& sink) {
    DecodeStatus* status = decode.status;
    const DWORD type = status->outerContentType;
    ElementHeader header;
    Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kEndsAtPayloadEnd, header);
    if (!fault) fault = ReadVersion(file, type == 4 ? 1 : 0);
    if (!fault) fault = ReadElementHeader(file, der::kSet, LengthCheck::kAtLeastOne, header);
    if (!fault) fault = header.open ? Format(kUnexpected) : ReadIntoBuffer(file, header.length, decode.recipientInfos);
    if (!fault && type == 4) {
        fault = ReadElementHeader(file, der::kSet, LengthCheck::kAtLeastOne, header);
        if (!fault) fault = header.open ? Format(kUnexpected) : ReadIntoBuffer(file, header.length, decode.digestSet);
    }
    if (!fault) fault = ReadElementHeader(file, der::kSequence, LengthCheck::kNone, header);
    if (!fault) fault = ReadDataOid(file);
    if (!fault) fault = ReadAlgorithm(file, decode);
    if (fault) {
        Record(status, fault);
        return 1;
    }
    if (decode.progress) decode.progress->SetProgress(file.position(), file.length());
    DWORD result = ScanRecipients(decode.recipientInfos, decode.algorithm, *decode.options, decode.progress,
                                  decode.session);
    status->jobResult = result;
    if (result != 0 || (decode.progress && decode.progress->HasUserCancelled())) return 0;
    if (DWORD error = SetUpSessionKey(decode)) {
        status->finalBlockStatus = static_cast<LONG>(error);
        status->jobResult = kNoDecryptCert;
        return 0;
    }
    DWORD contentLength = 0;
    if (Fault contentFault = ReadContentElement(file, contentLength)) {
        Record(status, contentFault);
        return 0;
    }
    if (type == 4) CreateDigestObjects(decode, decode.session.provider);
    ProcessContent(decode, file, contentLength, sink);
    if (status->jobResult == 0 && type == 4) VerifyTrailer(decode, file, decode.session.provider);
    return 0;
}

// The path of an output file: the target folder, a backslash and the name, or the name alone.
std::string OutputPath(const char* targetFolder, const std::u16string& name) {
    std::string path;
    if (targetFolder && *targetFolder) {
        path = targetFolder;
        if (path.back() != '\\') path += '\\';
    }
    std::wstring wide(name.begin(), name.end());
    int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size > 1) {
        std::string narrow(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &narrow[0], size, nullptr, nullptr);
        narrow.resize(static_cast<size_t>(size) - 1);
        path += narrow;
    }
    return path;
}

// Creates the files of the directory; never overwrites one. Stops at the first that fails.
void CreateOutputs(const sfx::Directory& directory, const char* targetFolder, DecodeStatus* status,
                   ExtractedFiles& files) {
    for (const sfx::DirectoryEntry& entry : directory.entries) {
        ExtractedFile file;
        file.flags = entry.flags;
        file.remaining = entry.size;
        file.path = OutputPath(targetFolder, entry.name);
        // A name that is empty or leaves the folder is not created: the payload names files only.
        const bool badName = entry.name.empty() || entry.name.find(u'\\') != std::u16string::npos ||
                             entry.name.find(u'/') != std::u16string::npos || entry.name == u"." ||
                             entry.name == u"..";
        file.handle = badName ? INVALID_HANDLE_VALUE
                              : CreateFileA(file.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.handle == INVALID_HANDLE_VALUE) {
            status->outputPath = file.path;
            status->jobResult = kFileError;
            status->writeError = badName ? ERROR_INVALID_NAME : GetLastError();
            return;
        }
        files.items().push_back(std::move(file));
    }
}

}  // namespace

LONG DecodePayload(IProgressDialog* progress, QuendrixOptions* options, DecodeStatus* status,
                   const char* targetFolder, ExtractedFiles& files, DWORD templateSize) {
    if (!options || !status || !options->certificateStore || status->inputPath.empty()) return E_FAIL;
    FileHandle input(CreateFileA(status->inputPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!input) {
        status->jobResult = kFileError;
        status->readError = GetLastError();
        return 1;
    }
    LARGE_INTEGER size = {};
    LARGE_INTEGER position = {};
    position.QuadPart = templateSize;
    if (!GetFileSizeEx(input.get(), &size) || !SetFilePointerEx(input.get(), position, nullptr, FILE_BEGIN)) {
        status->jobResult = kFileError;
        status->readError = GetLastError();
        return 1;
    }
    // Offsets and lengths are 32-bit: a larger program file is refused.
    if (size.QuadPart > 0xFFFFFFFFLL) {
        status->jobResult = kFileError;
        status->readError = ERROR_FILE_TOO_LARGE;
        return 1;
    }
    const uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    uint64_t payload = fileSize > templateSize ? fileSize - templateSize : 0;

    BYTE lengthBytes[4];
    DWORD got = 0;
    DWORD directoryLength = 0;
    std::vector<BYTE> directoryBytes;
    if (payload >= 4 && ReadFile(input.get(), lengthBytes, 4, &got, nullptr) && got == 4) {
        directoryLength = lengthBytes[0] | lengthBytes[1] << 8 | lengthBytes[2] << 16 | DWORD{lengthBytes[3]} << 24;
        if (directoryLength != 0 && directoryLength <= payload - 4) {
            status->readError = 0;
            directoryBytes.resize(directoryLength);
            if (!ReadFile(input.get(), directoryBytes.data(), directoryLength, &got, nullptr) ||
                got != directoryLength)
                directoryBytes.clear();
        }
    }
    sfx::Directory directory;
    if (!directoryBytes.empty() && sfx::ParseDirectory(directoryBytes.data(), directoryBytes.size(), directory)) {
        status->compressedContent = directory.compressed ? 1 : 0;
        CreateOutputs(directory, targetFolder, status, files);
    }
    if (files.items().empty()) {
        status->jobResult = kFileError;
        return 1;
    }
    const DWORD envelopeLength = static_cast<DWORD>(payload - 4 - directoryLength);

    if (progress) {
        progress->StartProgressDialog(nullptr, nullptr, PROGDLG_NOTIME | PROGDLG_NOMINIMIZE, nullptr);
        std::string line = FormatText(kToFileText, files.items()[0].path.c_str());
        std::wstring wide(line.size() + 1, L'\0');
        int units = MultiByteToWideChar(CP_ACP, 0, line.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
        if (units > 0) progress->SetLine(2, wide.c_str(), TRUE, nullptr);
    }
    // A file after the first that could not be created: the ones before it are still decoded.
    const bool creationFailed = status->jobResult == kFileError;
    const std::string failedPath = status->outputPath;
    const DWORD failedError = status->writeError;
    status->jobResult = 0xFFFFFFFF;
    status->writeError = 0;

    Decode decode;
    decode.progress = progress;
    decode.options = options;
    decode.status = status;
    decode.files = &files;
    PayloadFile file(input.get(), envelopeLength, &status->offset);
    PayloadSink sink(files, status->compressedContent != 0, progress);
    LONG result = 1;
    Fault fault = ReadContentInfoStart(file, status);
    if (fault) {
        Record(status, fault);
    } else if (!sink.Start()) {
        status->jobResult = kFileError;
    } else {
        result = status->outerContentType == 2 ? ReadSignedPayload(decode, file, sink)
                                               : ReadEnvelopedPayload(decode, file, sink);
    }
    LONG sinkStatus = sink.Finish();
    if (status->compressedContent) status->decompressStatus = sinkStatus;
    if (progress && progress->HasUserCancelled()) status->jobResult = ERROR_CANCELLED;
    // The file that could not be made is still reported: the run did not write everything.
    if (creationFailed) {
        status->outputPath = failedPath;
        status->writeError = failedError;
        if (status->jobResult == 0) status->jobResult = kFileError;
    }
    return result;
}

}  // namespace quendrix
