// platform_limit.exe: the speed of the platform's own primitives, measured the way the engine uses
// them, so that the benchmark can print how close packing and unpacking come to it.
//
//   platform_limit cipher ALG MIB [OP]   ALG: aes256, 3des or rc2-40; MIB megabytes (2^20) of data;
//                                        OP encrypt or decrypt measures that direction only
//   platform_limit zlib LEVEL FILE       raw deflate of FILE at LEVEL in 64 KiB pieces, then inflate,
//                                        each with the CRC-32 a gzip file carries
//   platform_limit gzip THREADS FILE     the engine's gzip routine alone (level 9, THREADS threads)
//                                        from FILE into a temporary file beside it, as a pack makes it
//   platform_limit copy FILE             FILE read and written to a temporary file beside it in
//                                        256 KiB pieces: the disk's rate for a pass that reads and
//                                        writes every byte once
//
// Every result is one line of key=value fields, "limit" first, MB = 10^6 bytes:
//   limit cipher=aes256 op=encrypt chunk=65536 bytes=... seconds=... mbps=... cpu=... cpumbps=...
//   limit cipher=aes256 op=encrypt-cng chunk=65536 ...   the same through CNG (the engine's AES path);
//   limit cipher=rc2-40 op=encrypt-cng chunk=32768 unsupported status=0x...   where CNG lacks it
//   limit cipher=aes256 op=keystream chunk=65536 ...     AES only: the provider's AES-ECB over the
//                                                        data, the key stream of the GCM content
//   limit cipher=aes256 op=keystream-2threads ...        the same on two threads, one key handle
//                                                        each, as the engine makes it on two
//                                                        processors (CPU time of both)
//   limit copy=file chunk=262144 bytes=... seconds=... mbps=...
//   limit zlib=deflate level=9 bytes=... out=... seconds=... mbps=...
//   limit gzip threads=2 bytes=... out=... seconds=... mbps=...
// Only the calls being measured are timed (QueryPerformanceCounter); reading and filling are not.
// The cipher passes also give the thread's CPU time over the pass, which, unlike the wall time,
// leaves out what other programs on a shared machine take.
#include <windows.h>
#include <wincrypt.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "pack/source_stream.h"

namespace {

struct CipherChoice {
    const wchar_t* name;
    ALG_ID algorithm;
    DWORD keyBits;
    const wchar_t* cngName;  // the same cipher in CNG
    DWORD cngKeyBytes;
};

const CipherChoice kCiphers[] = {
    {L"aes256", CALG_AES_256, 256, BCRYPT_AES_ALGORITHM, 32},
    {L"3des", CALG_3DES, 168, BCRYPT_3DES_ALGORITHM, 24},
    {L"rc2-40", CALG_RC2, 40, BCRYPT_RC2_ALGORITHM, 5},
};

// Accumulates the time spent inside the measured calls only.
class Stopwatch {
public:
    Stopwatch() { QueryPerformanceFrequency(&frequency_); }
    void Start() { QueryPerformanceCounter(&started_); }
    void Stop() {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        ticks_ += now.QuadPart - started_.QuadPart;
    }
    double Seconds() const { return static_cast<double>(ticks_) / static_cast<double>(frequency_.QuadPart); }

private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER started_{};
    long long ticks_ = 0;
};

double Rate(unsigned long long bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0; }

// cpuSeconds below 0: no CPU figure.
void PrintRate(const char* fields, unsigned long long bytes, double seconds, double cpuSeconds = -1) {
    std::printf("limit %s bytes=%llu seconds=%.3f mbps=%.1f", fields, bytes, seconds, Rate(bytes, seconds));
    if (cpuSeconds >= 0) std::printf(" cpu=%.3f cpumbps=%.1f", cpuSeconds, Rate(bytes, cpuSeconds));
    std::printf("\n");
    std::fflush(stdout);
}

// User and kernel time of the calling thread so far, in seconds.
double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}


int Fail(const char* what) {
    std::fprintf(stderr, "platform_limit: %s failed (0x%08lX)\n", what, GetLastError());
    return 1;
}

// Any bytes do: the cipher's speed does not depend on them. A fixed pattern keeps start-up short.
void FillPattern(BYTE* data, size_t size) {
    unsigned long long state = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        data[i] = static_cast<BYTE>(state);
    }
}

bool MakeSessionKey(HCRYPTPROV provider, const CipherChoice& cipher, KeyHandle& key) {
    HCRYPTKEY made = 0;
    if (!CryptGenKey(provider, cipher.algorithm, (cipher.keyBits << 16) | CRYPT_NO_SALT, &made)) return false;
    key.reset(made);
    DWORD mode = CRYPT_MODE_CBC;
    if (!CryptSetKeyParam(key.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0)) return false;
    if (cipher.algorithm == CALG_RC2) {
        DWORD effective = cipher.keyBits;
        if (!CryptSetKeyParam(key.get(), KP_EFFECTIVE_KEYLEN, reinterpret_cast<BYTE*>(&effective), 0)) return false;
    }
    return true;
}

// The engine's chunk: block length in bits times 512 bytes.
DWORD ChunkSize(HCRYPTKEY key) {
    DWORD bits = 0;
    DWORD size = sizeof(bits);
    if (!CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&bits), &size, 0) || size < 4 || bits == 0)
        bits = 64;
    return bits * 512;
}

// One pass over total bytes in chunks, encrypting or decrypting in place, with SHA-1 when asked.
// Decryption runs on whatever bytes the buffer holds and never as final: a padding check on
// arbitrary bytes would fail, and it costs one block.
bool CipherPass(HCRYPTPROV provider, const CipherChoice& cipher, bool encrypt, bool withHash,
                unsigned long long total, double& seconds, double& cpuSeconds, DWORD& chunkOut) {
    KeyHandle key;
    if (!MakeSessionKey(provider, cipher, key)) return false;
    HashHandle hash;
    if (withHash) {
        HCRYPTHASH made = 0;
        if (!CryptCreateHash(provider, CALG_SHA1, 0, 0, &made)) return false;
        hash.reset(made);
    }
    const DWORD chunk = ChunkSize(key.get());
    chunkOut = chunk;
    std::vector<BYTE> buffer(chunk + 64);
    FillPattern(buffer.data(), buffer.size());
    Stopwatch watch;
    const double cpuStart = ThreadCpuSeconds();
    for (unsigned long long done = 0; done < total;) {
        DWORD length = total - done < chunk ? static_cast<DWORD>(total - done) : chunk;
        done += length;
        BOOL final = encrypt && done == total;
        DWORD size = length;
        watch.Start();
        BOOL ok = encrypt ? CryptEncrypt(key.get(), hash.get(), final, 0, buffer.data(), &size,
                                         static_cast<DWORD>(buffer.size()))
                          : CryptDecrypt(key.get(), hash.get(), FALSE, 0, buffer.data(), &size);
        watch.Stop();
        if (!ok) return false;
    }
    cpuSeconds = ThreadCpuSeconds() - cpuStart;
    if (withHash) {
        BYTE digest[20];
        DWORD size = sizeof(digest);
        if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &size, 0)) return false;
    }
    seconds = watch.Seconds();
    return true;
}

// One lane of the GCM key stream: its own key handle (the provider's AES runs one processor per
// handle) over its share of the data, one chunk per call.
struct KeystreamLane {
    KeyHandle key;
    std::vector<BYTE> buffer;
    unsigned long long bytes = 0;
    bool ok = true;
    DWORD error = 0;
    double cpuSeconds = 0;  // the lane's own; Wine gives no times for a thread that has ended
};

DWORD WINAPI RunKeystreamLane(void* param) {
    auto& lane = *static_cast<KeystreamLane*>(param);
    const double cpuStart = ThreadCpuSeconds();
    const DWORD chunk = static_cast<DWORD>(lane.buffer.size());
    for (unsigned long long done = 0; done < lane.bytes && lane.ok;) {
        DWORD length = lane.bytes - done < chunk ? static_cast<DWORD>(lane.bytes - done) : chunk;
        length -= length % 16;
        if (length == 0) break;
        done += length;
        DWORD size = length;
        lane.ok = CryptEncrypt(lane.key.get(), 0, FALSE, 0, lane.buffer.data(), &size, chunk) != FALSE;
        if (!lane.ok) lane.error = GetLastError();
    }
    lane.cpuSeconds = ThreadCpuSeconds() - cpuStart;
    return 0;
}

// The key stream of AES-GCM as the engine makes it: the provider's AES in ECB mode over the counter
// blocks, split between lanes (the engine's two threads on a machine of two processors). With one
// lane the pass runs on this thread; with more, the wall time runs from the first thread's start
// to the last one's end, and the CPU time is all of theirs.
bool KeystreamPass(HCRYPTPROV provider, const CipherChoice& cipher, unsigned long long total, DWORD chunk,
                   int laneCount, double& seconds, double& cpuSeconds) {
    std::vector<KeystreamLane> lanes(laneCount);
    const unsigned long long share = total / laneCount / 16 * 16;
    for (int i = 0; i < laneCount; ++i) {
        KeystreamLane& lane = lanes[i];
        if (!MakeSessionKey(provider, cipher, lane.key)) return false;
        DWORD mode = CRYPT_MODE_ECB;
        if (!CryptSetKeyParam(lane.key.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0)) return false;
        lane.buffer.resize(chunk);
        FillPattern(lane.buffer.data(), lane.buffer.size());
        lane.bytes = i + 1 < laneCount ? share : total - share * (laneCount - 1);
    }
    Stopwatch watch;
    if (laneCount == 1) {
        watch.Start();
        RunKeystreamLane(&lanes[0]);
        watch.Stop();
    } else {
        std::vector<HANDLE> threads;
        watch.Start();
        for (KeystreamLane& lane : lanes) {
            HANDLE thread = CreateThread(nullptr, 0, RunKeystreamLane, &lane, 0, nullptr);
            if (!thread) break;
            threads.push_back(thread);
        }
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
        watch.Stop();
        for (HANDLE thread : threads) CloseHandle(thread);
        if (threads.size() != lanes.size()) return false;
    }
    seconds = watch.Seconds();
    cpuSeconds = 0;
    for (const KeystreamLane& lane : lanes) {
        cpuSeconds += lane.cpuSeconds;
        if (!lane.ok) {
            SetLastError(lane.error);
            return false;
        }
    }
    return true;
}

// The same pass through CNG in CBC mode (the engine's AES path), the chunk as the provider's pass
// had it; SHA-1 stays with the provider, as in the engine. The chained IV is passed on by hand, as
// the engine does. status is the CNG status of a cipher CNG does not offer here.
bool CngCipherPass(HCRYPTPROV provider, const CipherChoice& cipher, bool encrypt, bool withHash, DWORD chunk,
                   unsigned long long total, double& seconds, double& cpuSeconds, NTSTATUS& status) {
    CngAlgorithmHandle algorithm;
    CngKeyHandle key;
    status = BCryptOpenAlgorithmProvider(algorithm.put(), cipher.cngName, nullptr, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE,
                                   reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                                   sizeof BCRYPT_CHAIN_MODE_CBC, 0);
    std::vector<BYTE> keyBytes(cipher.cngKeyBytes);
    FillPattern(keyBytes.data(), keyBytes.size());
    if (BCRYPT_SUCCESS(status))
        status = BCryptGenerateSymmetricKey(algorithm.get(), key.put(), nullptr, 0, keyBytes.data(),
                                            static_cast<ULONG>(keyBytes.size()), 0);
    if (!BCRYPT_SUCCESS(status)) return false;
    DWORD block = 0;
    ULONG got = 0;
    status = BCryptGetProperty(algorithm.get(), BCRYPT_BLOCK_LENGTH, reinterpret_cast<PUCHAR>(&block), sizeof block,
                               &got, 0);
    if (!BCRYPT_SUCCESS(status) || block == 0 || block > 16) return false;
    HashHandle hash;
    if (withHash && !CryptCreateHash(provider, CALG_SHA1, 0, 0, hash.put())) return false;
    std::vector<BYTE> buffer(chunk + 64);
    FillPattern(buffer.data(), buffer.size());
    BYTE iv[16] = {};
    BYTE chained[16] = {};
    Stopwatch watch;
    const double cpuStart = ThreadCpuSeconds();
    for (unsigned long long done = 0; done < total;) {
        DWORD length = total - done < chunk ? static_cast<DWORD>(total - done) : chunk;
        done += length;
        const bool final = encrypt && done == total;
        ULONG written = 0;
        watch.Start();
        if (!encrypt) std::memcpy(chained, buffer.data() + length - block, block);
        std::memcpy(iv, chained, block);
        status = encrypt ? BCryptEncrypt(key.get(), buffer.data(), length, nullptr, iv, block, buffer.data(),
                                         static_cast<ULONG>(buffer.size()), &written, final ? BCRYPT_BLOCK_PADDING : 0)
                         : BCryptDecrypt(key.get(), buffer.data(), length, nullptr, iv, block, buffer.data(),
                                         static_cast<ULONG>(buffer.size()), &written, 0);
        if (encrypt && BCRYPT_SUCCESS(status)) std::memcpy(chained, buffer.data() + written - block, block);
        if (BCRYPT_SUCCESS(status) && withHash && !CryptHashData(hash.get(), buffer.data(), length, 0)) return false;
        watch.Stop();
        if (!BCRYPT_SUCCESS(status)) return false;
    }
    cpuSeconds = ThreadCpuSeconds() - cpuStart;
    seconds = watch.Seconds();
    return true;
}

int RunCipher(const std::wstring& name, unsigned long long mebibytes, const std::wstring& direction) {
    const CipherChoice* cipher = nullptr;
    for (const CipherChoice& c : kCiphers)
        if (name == c.name) cipher = &c;
    const bool encryptOnly = direction == L"encrypt";
    const bool decryptOnly = direction == L"decrypt";
    if (!cipher || mebibytes == 0 || (!direction.empty() && !encryptOnly && !decryptOnly)) {
        std::fprintf(stderr,
                     "platform_limit: cipher takes aes256, 3des or rc2-40, a size in MiB and optionally "
                     "encrypt or decrypt\n");
        return 2;
    }
    HCRYPTPROV acquired = 0;
    if (!CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return Fail("CryptAcquireContext");
    ProviderHandle provider(acquired);
    const unsigned long long total = mebibytes << 20;
    struct Pass {
        const char* op;
        bool encrypt;
        bool hash;
    };
    const Pass passes[] = {
        {"encrypt", true, false}, {"encrypt+sha1", true, true}, {"decrypt", false, false}, {"decrypt+sha1", false, true}};
    for (const Pass& pass : passes) {
        if ((encryptOnly && !pass.encrypt) || (decryptOnly && pass.encrypt)) continue;
        double seconds = 0;
        double cpuSeconds = 0;
        DWORD chunk = 0;
        if (!CipherPass(provider.get(), *cipher, pass.encrypt, pass.hash, total, seconds, cpuSeconds, chunk))
            return Fail(pass.op);
        char fields[128];
        std::snprintf(fields, sizeof(fields), "cipher=%ls op=%s chunk=%lu", cipher->name, pass.op, chunk);
        PrintRate(fields, total, seconds, cpuSeconds);
        // The same pass through CNG: a row of its own, "-cng" after the operation's name.
        NTSTATUS status = 0;
        std::string op(pass.op);
        op.insert(7, "-cng");  // after "encrypt" or "decrypt"
        std::snprintf(fields, sizeof(fields), "cipher=%ls op=%s chunk=%lu", cipher->name, op.c_str(), chunk);
        if (CngCipherPass(provider.get(), *cipher, pass.encrypt, pass.hash, chunk, total, seconds, cpuSeconds, status))
            PrintRate(fields, total, seconds, cpuSeconds);
        else if (!BCRYPT_SUCCESS(status))
            std::printf("limit %s unsupported status=0x%08lX\n", fields, static_cast<unsigned long>(status));
        else
            return Fail(op.c_str());
    }
    if (cipher->algorithm == CALG_AES_256) {
        // One lane, and the two the engine uses on a machine of two processors or more.
        for (int lanes : {1, 2}) {
            double seconds = 0;
            double cpuSeconds = 0;
            const DWORD chunk = 65536;
            if (!KeystreamPass(provider.get(), *cipher, total, chunk, lanes, seconds, cpuSeconds))
                return Fail("keystream");
            char fields[128];
            std::snprintf(fields, sizeof(fields), "cipher=%ls op=%s chunk=%lu", cipher->name,
                          lanes == 1 ? "keystream" : "keystream-2threads", chunk);
            PrintRate(fields, total, seconds, cpuSeconds);
        }
    }
    return 0;
}

// Raw deflate of the file in 64 KiB pieces, each piece's output inflated again at once, so that
// both directions see exactly the engine's data without holding the compressed file in memory.
// A gzip file carries the CRC-32 of its content, which the engine computes while deflating and
// checks while inflating: it counts in both directions.
class ZlibPair {
public:
    explicit ZlibPair(int level) {
        ready_ = deflateInit2(&deflater_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        if (ready_) inflating_ = inflateInit2(&inflater_, -MAX_WBITS) == Z_OK;
    }
    ~ZlibPair() {
        if (ready_) deflateEnd(&deflater_);
        if (inflating_) inflateEnd(&inflater_);
    }
    bool ready() const { return ready_ && inflating_; }

    // Compresses one piece (flush Z_FINISH on the last) and inflates what came out.
    bool Piece(BYTE* data, DWORD length, bool last) {
        deflateWatch_.Start();
        packedCrc_ = crc32(packedCrc_, data, length);
        deflateWatch_.Stop();
        deflater_.next_in = data;
        deflater_.avail_in = length;
        int flush = last ? Z_FINISH : Z_NO_FLUSH;
        int status;
        do {
            deflater_.next_out = packed_;
            deflater_.avail_out = sizeof(packed_);
            deflateWatch_.Start();
            status = deflate(&deflater_, flush);
            deflateWatch_.Stop();
            if (status == Z_STREAM_ERROR) return false;
            DWORD produced = static_cast<DWORD>(sizeof(packed_) - deflater_.avail_out);
            packedBytes_ += produced;
            if (!Inflate(produced)) return false;
        } while (deflater_.avail_out == 0 || (last && status != Z_STREAM_END));
        return true;
    }
    unsigned long long packedBytes() const { return packedBytes_; }
    bool CrcsAgree() const { return packedCrc_ == unpackedCrc_; }
    double deflateSeconds() const { return deflateWatch_.Seconds(); }
    double inflateSeconds() const { return inflateWatch_.Seconds(); }

private:
    bool Inflate(DWORD length) {
        inflater_.next_in = packed_;
        inflater_.avail_in = length;
        // A full output buffer may leave output pending even when all input is taken.
        do {
            inflater_.next_out = unpacked_;
            inflater_.avail_out = sizeof(unpacked_);
            inflateWatch_.Start();
            int status = inflate(&inflater_, Z_NO_FLUSH);
            unpackedCrc_ = crc32(unpackedCrc_, unpacked_, static_cast<uInt>(sizeof(unpacked_) - inflater_.avail_out));
            inflateWatch_.Stop();
            if (status == Z_STREAM_END || status == Z_BUF_ERROR) return true;
            if (status != Z_OK) return false;
        } while (inflater_.avail_in > 0 || inflater_.avail_out == 0);
        return true;
    }

    z_stream deflater_{};
    z_stream inflater_{};
    bool ready_ = false;
    bool inflating_ = false;
    BYTE packed_[65536];
    BYTE unpacked_[65536];
    unsigned long long packedBytes_ = 0;
    uLong packedCrc_ = 0;
    uLong unpackedCrc_ = 0;
    Stopwatch deflateWatch_;
    Stopwatch inflateWatch_;
};

// The measured file, open for reading, and its size; 0, or the exit status of a failure.
int OpenMeasured(const std::wstring& path, FileHandle& file, LARGE_INTEGER& size) {
    file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return Fail("CreateFile");
    if (!GetFileSizeEx(file.get(), &size)) return Fail("GetFileSizeEx");
    return 0;
}

// A temporary file in the folder of path, deleted when closed; 0, or the exit status of a failure.
int OpenTemporaryBeside(const std::wstring& path, const wchar_t* prefix, FileHandle& target) {
    std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
    wchar_t name[MAX_PATH] = {};
    if (!GetTempFileNameW(folder.empty() ? L"." : folder.c_str(), prefix, 0, name)) return Fail("GetTempFileName");
    target.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (target) return 0;
    DeleteFileW(name);
    return Fail("CreateFile (temporary)");
}

int RunZlib(int level, const std::wstring& path) {
    if (level < 1 || level > 9) {
        std::fprintf(stderr, "platform_limit: zlib takes a level from 1 to 9 and a file\n");
        return 2;
    }
    FileHandle file;
    LARGE_INTEGER size{};
    if (int failed = OpenMeasured(path, file, size)) return failed;
    std::unique_ptr<ZlibPair> zlib(new ZlibPair(level));  // two 64 KiB buffers: not on the stack
    if (!zlib->ready()) {
        std::fprintf(stderr, "platform_limit: zlib set-up failed\n");
        return 1;
    }
    const unsigned long long total = static_cast<unsigned long long>(size.QuadPart);
    std::vector<BYTE> piece(65536);
    unsigned long long done = 0;
    do {
        DWORD wanted = total - done < piece.size() ? static_cast<DWORD>(total - done) : static_cast<DWORD>(piece.size());
        DWORD got = 0;
        if (!ReadFile(file.get(), piece.data(), wanted, &got, nullptr) || got != wanted) return Fail("ReadFile");
        done += got;
        if (!zlib->Piece(piece.data(), got, done == total)) {
            std::fprintf(stderr, "platform_limit: zlib failed\n");
            return 1;
        }
    } while (done < total);
    if (!zlib->CrcsAgree()) {
        std::fprintf(stderr, "platform_limit: inflate gave other bytes than deflate took\n");
        return 1;
    }
    char fields[128];
    std::snprintf(fields, sizeof(fields), "zlib=deflate level=%d out=%llu", level, zlib->packedBytes());
    PrintRate(fields, total, zlib->deflateSeconds());
    std::snprintf(fields, sizeof(fields), "zlib=inflate level=%d out=%llu", level, zlib->packedBytes());
    PrintRate(fields, total, zlib->inflateSeconds());
    return 0;
}

int RunGzip(unsigned threads, const std::wstring& path) {
    if (threads < 1 || threads > 16) {
        std::fprintf(stderr, "platform_limit: gzip takes 1 to 16 threads and a file\n");
        return 2;
    }
    FileHandle source;
    LARGE_INTEGER size{};
    if (int failed = OpenMeasured(path, source, size)) return failed;
    FileHandle target;
    if (int failed = OpenTemporaryBeside(path, L"gz", target)) return failed;
    Stopwatch watch;
    watch.Start();
    int result = CompressFileToGzip(source.get(), target.get(), 9, threads, nullptr);
    watch.Stop();
    if (result != 0) return Fail("CompressFileToGzip");
    LARGE_INTEGER out{};
    if (!GetFileSizeEx(target.get(), &out)) return Fail("GetFileSizeEx (temporary)");
    char fields[96];
    std::snprintf(fields, sizeof(fields), "gzip threads=%u out=%lld", threads, out.QuadPart);
    PrintRate(fields, static_cast<unsigned long long>(size.QuadPart), watch.Seconds());
    return 0;
}

// Reads FILE and writes it to a temporary file beside it, one batch at a time, timing the whole.
int RunCopy(const std::wstring& path) {
    FileHandle source;
    LARGE_INTEGER size{};
    if (int failed = OpenMeasured(path, source, size)) return failed;
    FileHandle target;
    if (int failed = OpenTemporaryBeside(path, L"cp", target)) return failed;
    const DWORD chunk = 256u << 10;
    std::vector<BYTE> buffer(chunk);
    Stopwatch watch;
    watch.Start();
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source.get(), buffer.data(), chunk, &got, nullptr)) return Fail("ReadFile");
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(target.get(), buffer.data(), got, &written, nullptr) || written != got) return Fail("WriteFile");
    }
    watch.Stop();
    char fields[64];
    std::snprintf(fields, sizeof(fields), "copy=file chunk=%lu", chunk);
    PrintRate(fields, static_cast<unsigned long long>(size.QuadPart), watch.Seconds());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    if ((argc == 4 || argc == 5) && std::wcscmp(argv[1], L"cipher") == 0)
        return RunCipher(argv[2], std::wcstoull(argv[3], nullptr, 10), argc == 5 ? argv[4] : L"");
    if (argc == 4 && std::wcscmp(argv[1], L"zlib") == 0) return RunZlib(std::wcstol(argv[2], nullptr, 10), argv[3]);
    if (argc == 4 && std::wcscmp(argv[1], L"gzip") == 0)
        return RunGzip(static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)), argv[3]);
    if (argc == 3 && std::wcscmp(argv[1], L"copy") == 0) return RunCopy(argv[2]);
    std::fprintf(stderr,
                 "usage: platform_limit cipher aes256|3des|rc2-40 MIB [encrypt|decrypt]\n"
                 "       platform_limit zlib LEVEL FILE\n"
                 "       platform_limit gzip THREADS FILE\n"
                 "       platform_limit copy FILE\n");
    return 2;
}
