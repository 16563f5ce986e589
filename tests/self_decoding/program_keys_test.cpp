// The self-decoding program's provider fallback, signers without certificates and the opening of
// marked files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/sfx_directory.h"
#include "tests/self_decoding/program_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace quendrix_test;
using testing_support::FileExists;
using testing_support::FindMyCertificate;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

const char kCaption[] = "Quillarent - payload.exe";
const char kDecoded[] = "File is decoded successfully.";

PayloadSpec OneFile() {
    PayloadSpec spec;
    spec.files.push_back({L"data.bin", PatternBytes(40000, 4), 0});
    return spec;
}

const wchar_t kFallbackContainer[] = L"QuendrixFallbackKey";
const wchar_t kFallbackStore[] = L"QuendrixFallback";

// A recipient whose exportable key lives in the RSA full provider (no AES there), listed in a
// store of its own.
class FallbackRecipient {
public:
    FallbackRecipient() {
        HCRYPTPROV provider = 0;
        CryptAcquireContextW(&provider, kFallbackContainer, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        if (!CryptAcquireContextW(&provider, kFallbackContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return;
        KeyHandle key;
        bool made = CryptGenKey(provider, AT_KEYEXCHANGE, CRYPT_EXPORTABLE | (1024u << 16), key.put()) != FALSE;
        key.reset();
        CryptReleaseContext(provider, 0);
        if (!made) return;
        BYTE nameBytes[256];
        CERT_NAME_BLOB name = {sizeof nameBytes, nameBytes};
        if (!CertStrToNameW(X509_ASN_ENCODING, L"CN=Quendrix Fallback Recipient", CERT_X500_NAME_STR, nullptr,
                            nameBytes, &name.cbData, nullptr))
            return;
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = const_cast<wchar_t*>(kFallbackContainer);
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        certificate_.reset(CertCreateSelfSignCertificate(0, &name, 0, &info, nullptr, nullptr, nullptr, nullptr));
        StoreHandle store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, kFallbackStore));
        if (certificate_ && store)
            CertAddCertificateContextToStore(store.get(), certificate_.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    }
    ~FallbackRecipient() {
        certificate_.reset();
        HCRYPTPROV provider = 0;
        CryptAcquireContextW(&provider, kFallbackContainer, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        CertUnregisterSystemStore(kFallbackStore, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG);
    }
    PCCERT_CONTEXT get() const { return certificate_.get(); }

private:
    CertHandle certificate_;
};

TEST(QuendrixProviderFallback, AesForAKeyWithoutAesGoesThroughAnotherProvider) {
    FallbackRecipient recipient;
    ASSERT_TRUE(recipient.get());
    TempDir dir;
    PayloadSpec spec = OneFile();
    spec.recipients.push_back(recipient.get());
    ASSERT_TRUE(BuildPayloadProgram(dir.File(L"payload.exe"), spec));
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"/a- /c QuendrixTestCopy /s QuendrixFallback", dir.path(),
                               kCaption);
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText, kDecoded);
    EXPECT_EQ(ReadFileBytes(dir.File(L"data.bin")), spec.files[0].bytes);
    // The temporary container is gone again.
    for (DWORD type : {DWORD{PROV_RSA_FULL}, DWORD{PROV_RSA_AES}, DWORD{PROV_DSS}}) {
        HCRYPTPROV left = 0;
        EXPECT_FALSE(CryptAcquireContextW(&left, L"QuendrixTestCopy", nullptr, type, 0)) << type;
        if (left) CryptReleaseContext(left, 0);
    }
    // Without permission to copy the key, or to look at other providers, it cannot be opened.
    for (const wchar_t* arguments : {L"/a- /r- /s QuendrixFallback", L"/a- /e- /s QuendrixFallback"}) {
        TempDir runDir;
        std::wstring program = runDir.File(L"payload.exe");
        ASSERT_TRUE(CopyFileW(dir.File(L"payload.exe").c_str(), program.c_str(), TRUE));
        RunResult refused = RunProgram(program, arguments, runDir.path(), kCaption);
        EXPECT_EQ(refused.boxText.rfind("Cannot decode file.\r\n", 0), 0u) << refused.boxText;
        EXPECT_TRUE(ReadFileBytes(runDir.File(L"data.bin")).empty());
    }
}

// Answers the re-import question (the window with the check box 1108) once it shows.
class QuestionAnswerer {
public:
    explicit QuestionAnswerer(WPARAM answer) : thread_([this, answer] { Answer(answer); }) {}
    ~QuestionAnswerer() { Wait(); }
    void Wait() {
        if (thread_.joinable()) thread_.join();
    }
    std::string text;
    bool found = false;
    bool boxChecked = false;

private:
    static BOOL CALLBACK Match(HWND window, LPARAM found) {
        if (GetDlgItem(window, 1108) && GetDlgItem(window, 2001)) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    }
    void Answer(WPARAM answer) {
        HWND question = nullptr;
        bool shown = testing_support::WaitUntil([&question] {
            question = nullptr;
            EnumWindows(Match, reinterpret_cast<LPARAM>(&question));
            return question && IsWindowVisible(question);
        });
        if (!shown) return;
        char buffer[2048] = "";
        GetDlgItemTextA(question, 2001, buffer, sizeof buffer);
        text = buffer;
        boxChecked = IsDlgButtonChecked(question, 1108) == BST_CHECKED;
        found = true;
        PostMessageA(question, WM_COMMAND, answer, 0);
    }
    std::thread thread_;
};

TEST(QuendrixProviderFallback, TheQuestionDecidesWhetherOtherProvidersAreTried) {
    FallbackRecipient recipient;
    ASSERT_TRUE(recipient.get());
    TempDir dir;
    PayloadSpec spec = OneFile();
    spec.recipients.push_back(recipient.get());
    ASSERT_TRUE(BuildPayloadProgram(dir.File(L"payload.exe"), spec));
    TempDir noDir;
    ASSERT_TRUE(CopyFileW(dir.File(L"payload.exe").c_str(), noDir.File(L"payload.exe").c_str(), TRUE));
    QuestionAnswerer yes(IDYES);
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"/s QuendrixFallback", dir.path(), kCaption);
    yes.Wait();
    ASSERT_TRUE(yes.found);
    EXPECT_EQ(yes.text.rfind("Microsoft Enhanced Cryptographic Provider v1.0 contains a private key that corresponds "
                             "to your certificate (Issuer: Quendrix Fallback Recipient, Serial number: ",
                             0),
              0u)
        << yes.text;
    EXPECT_NE(yes.text.find(") but doesn't support Advanced Encryption Standard 256-bit algorithm. You may be"),
              std::string::npos)
        << yes.text;
    EXPECT_TRUE(yes.boxChecked);
    EXPECT_EQ(run.boxText, kDecoded);
    EXPECT_EQ(ReadFileBytes(dir.File(L"data.bin")), spec.files[0].bytes);

    // "No" leaves the other providers alone, and /r- shows in the check box.
    QuestionAnswerer no(IDNO);
    RunResult refused = RunProgram(noDir.File(L"payload.exe"), L"/s QuendrixFallback /r-", noDir.path(), kCaption);
    no.Wait();
    ASSERT_TRUE(no.found);
    EXPECT_FALSE(no.boxChecked);
    EXPECT_EQ(refused.boxText.rfind("Cannot decode file.\r\n", 0), 0u) << refused.boxText;
}

// Bob's key cannot be exported: the copy into another provider fails and is reported.
TEST(QuendrixProviderFallback, AKeyThatCannotBeCopiedIsReported) {
    CertHandle bob = FindMyCertificate(L"Bob Recipient");
    ASSERT_TRUE(bob);
    TempDir dir;
    PayloadSpec spec = OneFile();
    spec.recipients.push_back(bob.get());
    ASSERT_TRUE(BuildPayloadProgram(dir.File(L"payload.exe"), spec));
    for (const wchar_t* arguments : {L"/a-", L"/a- /r-", L"/a- /e-"}) {
        TempDir run_dir;
        std::wstring program = run_dir.File(L"payload.exe");
        ASSERT_TRUE(CopyFileW(dir.File(L"payload.exe").c_str(), program.c_str(), TRUE));
        RunResult run = RunProgram(program, arguments, run_dir.path(), kCaption);
        EXPECT_EQ(run.boxText.rfind("Cannot decode file.\r\n", 0), 0u) << run.boxText;
        EXPECT_TRUE(ReadFileBytes(run_dir.File(L"data.bin")).empty());
    }
}

TEST(QuendrixSigners, ASignerWithoutCertificateIsDescribedFromTheSignerInfo) {
    TempDir dir;
    PayloadSpec spec = OneFile();
    spec.addCertificates = false;
    ASSERT_TRUE(BuildSignedPayloadProgram(dir.File(L"payload.exe"), spec, L"Dave Signer"));
    // A store without Dave's certificate.
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"/s QuendrixEmptyStore", dir.path(), kCaption);
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("File is digitally signed by:\r\nthe signature is not valid:\r\n"
                                "\tcertificate not found\r\n\tIssued by: Quill Test CA",
                                0),
              0u)
        << run.boxText;
    std::string tail = "Digital signature(s) are not veryfied yet.";
    ASSERT_GE(run.boxText.size(), tail.size());
    EXPECT_EQ(run.boxText.substr(run.boxText.size() - tail.size()), tail);
    EXPECT_EQ(ReadFileBytes(dir.File(L"data.bin")), spec.files[0].bytes);
}

// An association of our own whose open command copies the file, so that opening leaves a trace.
class OpenAssociation {
public:
    OpenAssociation() {
        RegSetValueW(HKEY_CLASSES_ROOT, L".qndxopen", REG_SZ, L"QuendrixTestOpen", 0);
        // The copy is made under another name and renamed, so "opened" appears complete at once.
        const wchar_t command[] = L"cmd.exe /c copy \"%1\" \"%1.part\" >nul && move \"%1.part\" \"%1.opened\" >nul";
        RegSetValueW(HKEY_CLASSES_ROOT, L"QuendrixTestOpen\\shell\\open\\command", REG_SZ, command, 0);
    }
    ~OpenAssociation() {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"QuendrixTestOpen");
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L".qndxopen");
    }
};

TEST(QuendrixOpening, AMarkedFileIsOpenedInsteadOfTheReport) {
    OpenAssociation association;
    CertHandle alice = FindMyCertificate(L"Alice Recipient");
    ASSERT_TRUE(alice);
    TempDir dir;
    PayloadSpec spec = OneFile();
    spec.files.push_back({L"note.qndxopen", PatternBytes(100, 8), sfx::kOpenAfterUnpacking});
    spec.recipients.push_back(alice.get());
    ASSERT_TRUE(BuildPayloadProgram(dir.File(L"payload.exe"), spec));
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"", dir.path(), kCaption);
    EXPECT_FALSE(run.boxShown) << run.boxText;
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(ReadFileBytes(dir.File(L"note.qndxopen")), spec.files[1].bytes);
    // The associated command runs on after the program has gone.
    EXPECT_EQ(testing_support::ReadFileOnceClosed(dir.File(L"note.qndxopen.opened")), spec.files[1].bytes);
}

TEST(QuendrixOpening, AFailedDecodeOpensNothing) {
    OpenAssociation association;
    CertHandle stranger = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"stranger.cer"));
    ASSERT_TRUE(stranger);
    TempDir dir;
    PayloadSpec spec;
    spec.files.push_back({L"note.qndxopen", PatternBytes(100, 8), sfx::kOpenAfterUnpacking});
    spec.recipients.push_back(stranger.get());
    ASSERT_TRUE(BuildPayloadProgram(dir.File(L"payload.exe"), spec));
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"/a-", dir.path(), kCaption);
    EXPECT_TRUE(run.boxShown);
    // The program opens files before it would report, so a report means nothing was opened; and
    // nothing was decoded into the file either.
    EXPECT_EQ(run.boxText.rfind("Cannot decode file.\r\n", 0), 0u) << run.boxText;
    EXPECT_TRUE(ReadFileBytes(dir.File(L"note.qndxopen")).empty());
    EXPECT_FALSE(FileExists(dir.File(L"note.qndxopen.opened")));
}

}  // namespace

namespace {

// Signed payload with one content byte changed after signing.
TEST(QuendrixSigners, ChangedContentFailsTheSignature) {
    TempDir dir;
    PayloadSpec spec = OneFile();
    ASSERT_TRUE(BuildSignedPayloadProgram(dir.File(L"payload.exe"), spec, L"Dave Signer"));
    std::vector<uint8_t> program = ReadFileBytes(dir.File(L"payload.exe"));
    const std::vector<uint8_t>& content = spec.files[0].bytes;
    auto at = std::search(program.begin(), program.end(), content.begin(), content.begin() + 64);
    ASSERT_NE(at, program.end());
    at[1000] ^= 0x20;
    testing_support::WriteFileBytes(dir.File(L"payload.exe"), program);
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"", dir.path(), kCaption);
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("File is digitally signed by:\r\nthe signature is not valid:\r\n\tIssued to: Dave Signer", 0),
              0u)
        << run.boxText;
    EXPECT_NE(run.boxText.find("Digital signature for one or more signers is invalid.\r\n"), std::string::npos)
        << run.boxText;
    std::vector<uint8_t> written = ReadFileBytes(dir.File(L"data.bin"));
    ASSERT_EQ(written.size(), content.size());
    EXPECT_EQ(written[1000], content[1000] ^ 0x20);
}

}  // namespace
