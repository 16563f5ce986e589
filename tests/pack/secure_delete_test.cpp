#include "pack/secure_delete.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

using testing_support::FileExists;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

using Bytes = std::vector<uint8_t>;

// The files left in a folder.
std::vector<std::wstring> FolderContents(const TempDir& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(dir.File(L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

Bytes ReadThroughHandle(HANDLE file) {
    LARGE_INTEGER size = {}, start = {};
    GetFileSizeEx(file, &size);
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    Bytes bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

bool AllBytesAre(const Bytes& bytes, uint8_t value) {
    for (uint8_t b : bytes) {
        if (b != value) return false;
    }
    return !bytes.empty();
}

// Every byte repeats the first 65,536: the random pattern written over the whole length.
bool RepeatsEvery64K(const Bytes& bytes) {
    for (size_t i = 65536; i < bytes.size(); ++i) {
        if (bytes[i] != bytes[i - 65536]) return false;
    }
    return true;
}

// Records what the hooks see; installed for the lifetime of the object.
struct Observer {
    struct Pattern {
        DWORD pass, index;
        Bytes contents;  // read back when the handle allows it
    };
    std::vector<Pattern> patterns;
    std::vector<std::wstring> deletedNames;
    Bytes contentsBeforeDelete;
    bool readBack = false;
    bool makeReadOnly = false;

    Observer() {
        hooks_.afterPattern = [](void* context, HANDLE file, DWORD pass, DWORD index) {
            Observer* self = static_cast<Observer*>(context);
            self->patterns.push_back({pass, index, self->readBack ? ReadThroughHandle(file) : Bytes()});
        };
        hooks_.beforeDelete = [](void* context, const wchar_t* path) {
            Observer* self = static_cast<Observer*>(context);
            std::wstring full = path;
            self->deletedNames.push_back(full.substr(full.find_last_of(L'\\') + 1));
            self->contentsBeforeDelete = ReadFileBytes(full);
            if (self->makeReadOnly) SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
        };
        hooks_.context = this;
        SetSecureDeleteHooks(&hooks_);
    }
    ~Observer() { SetSecureDeleteHooks(nullptr); }

private:
    SecureDeleteHooks hooks_;
};

TEST(OverwriteFileContents, WritesTheThreePatternsInOrderOverTheWholeLength) {
    TempDir dir;
    const Bytes original = PatternBytes(200000, 4);
    WriteFileBytes(dir.File(L"data.bin"), original);
    FileHandle file(CreateFileW(dir.File(L"data.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    Observer observer;
    observer.readBack = true;
    ProviderHandle provider;
    ASSERT_TRUE(CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));

    ASSERT_TRUE(OverwriteFileContents(file.get(), provider.get(), original.size(), 2));
    ASSERT_EQ(observer.patterns.size(), 6u);
    for (size_t i = 0; i < observer.patterns.size(); ++i) {
        const Observer::Pattern& seen = observer.patterns[i];
        EXPECT_EQ(seen.pass, i / 3);
        EXPECT_EQ(seen.index, i % 3);
        ASSERT_EQ(seen.contents.size(), original.size());
        if (seen.index == 0) {
            EXPECT_TRUE(AllBytesAre(seen.contents, 0xAA)) << i;
        } else if (seen.index == 1) {
            EXPECT_TRUE(AllBytesAre(seen.contents, 0x55)) << i;
        } else {
            EXPECT_TRUE(RepeatsEvery64K(seen.contents)) << i;
            EXPECT_NE(seen.contents, original);
            EXPECT_FALSE(AllBytesAre(seen.contents, seen.contents[0])) << "the third pattern is random";
        }
    }
    // The random pattern is made once per call and used by every pass.
    EXPECT_EQ(observer.patterns[2].contents, observer.patterns[5].contents);
}

TEST(OverwriteFileContents, WithoutAProviderTheThirdPatternIsStillRandom) {
    TempDir dir;
    WriteFileBytes(dir.File(L"data.bin"), Bytes(4096, 0));
    FileHandle file(CreateFileW(dir.File(L"data.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    Observer observer;
    observer.readBack = true;
    ASSERT_TRUE(OverwriteFileContents(file.get(), 0, 4096, 1));
    ASSERT_EQ(observer.patterns.size(), 3u);
    EXPECT_FALSE(AllBytesAre(observer.patterns[2].contents, observer.patterns[2].contents[0]));
}

TEST(OverwriteFileContents, AFailedWriteFails) {
    TempDir dir;
    WriteFileBytes(dir.File(L"data.bin"), PatternBytes(1000));
    {
        FileHandle readOnly(CreateFileW(dir.File(L"data.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr));
        Observer observer;
        EXPECT_FALSE(OverwriteFileContents(readOnly.get(), 0, 1000, 1));
        EXPECT_TRUE(observer.patterns.empty());
    }
    EXPECT_EQ(ReadFileBytes(dir.File(L"data.bin")), PatternBytes(1000));
}

TEST(SecureDeleteFile, OneByteFileIsExtendedToASectorOverwrittenRenamedAndDeleted) {
    TempDir dir;
    const std::wstring path = dir.File(L"report.doc");
    WriteFileBytes(path, Bytes{'Q'});
    Observer observer;
    ASSERT_TRUE(SecureDeleteFile(path.c_str(), 0, 1));

    EXPECT_EQ(observer.patterns.size(), 3u);
    ASSERT_EQ(observer.deletedNames.size(), 1u);
    EXPECT_EQ(observer.deletedNames[0], L"YYYYYY.YYY");
    const Bytes& last = observer.contentsBeforeDelete;
    ASSERT_GE(last.size(), 512u);
    EXPECT_EQ(last.size() % 512, 0u);
    Bytes extendedOriginal(last.size(), 0);
    extendedOriginal[0] = 'Q';
    EXPECT_NE(last, extendedOriginal);
    EXPECT_FALSE(AllBytesAre(last, 0xAA));
    EXPECT_FALSE(AllBytesAre(last, 0x55));
    EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(FolderContents(dir).empty());
}

TEST(SecureDeleteFile, LargeFileIsCoveredWholeOnEveryPass) {
    TempDir dir;
    const std::wstring path = dir.File(L"archive.tar.bin");
    const Bytes original = PatternBytes(200000, 8);
    WriteFileBytes(path, original);
    Observer observer;
    ProviderHandle provider;
    ASSERT_TRUE(CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(SecureDeleteFile(path.c_str(), provider.get(), 2));

    EXPECT_EQ(observer.patterns.size(), 6u);
    ASSERT_EQ(observer.deletedNames.size(), 1u);
    EXPECT_EQ(observer.deletedNames[0], L"YYYYYYY.YYY.YYY");
    const Bytes& last = observer.contentsBeforeDelete;
    EXPECT_EQ(last.size(), (original.size() + 511) / 512 * 512);
    EXPECT_TRUE(RepeatsEvery64K(last));
    EXPECT_NE(Bytes(last.begin(), last.begin() + 1000), Bytes(original.begin(), original.begin() + 1000));
    EXPECT_FALSE(FileExists(path));
}

TEST(SecureDeleteFile, ZeroPassesOnlyExtendsRenamesAndDeletes) {
    TempDir dir;
    const std::wstring path = dir.File(L"notes");
    WriteFileBytes(path, Bytes{'a', 'b', 'c'});
    Observer observer;
    ASSERT_TRUE(SecureDeleteFile(path.c_str(), 0, 0));

    EXPECT_TRUE(observer.patterns.empty());
    ASSERT_EQ(observer.deletedNames.size(), 1u);
    EXPECT_EQ(observer.deletedNames[0], L"YYYYY");
    Bytes expected(512, 0);
    expected[0] = 'a', expected[1] = 'b', expected[2] = 'c';
    EXPECT_EQ(observer.contentsBeforeDelete, expected);
    EXPECT_FALSE(FileExists(path));
}

TEST(SecureDeleteFile, EmptyFileIsRenamedAndDeleted) {
    TempDir dir;
    const std::wstring path = dir.File(L"empty.txt");
    WriteFileBytes(path, Bytes());
    Observer observer;
    ASSERT_TRUE(SecureDeleteFile(path.c_str(), 0, 1));
    EXPECT_TRUE(observer.contentsBeforeDelete.empty());
    EXPECT_EQ(observer.deletedNames, std::vector<std::wstring>{L"YYYYY.YYY"});
    EXPECT_TRUE(FolderContents(dir).empty());
}

TEST(SecureDeleteFile, NetworkPathsAreRefusedAndNothingIsTouched) {
    TempDir dir;
    const std::wstring path = dir.File(L"kept.txt");
    WriteFileBytes(path, PatternBytes(100));
    Observer observer;
    EXPECT_FALSE(SecureDeleteFile(L"\\\\server\\share\\f.txt", 0, 1));
    // The same local file named through the \\?\ form also starts with two backslashes.
    EXPECT_FALSE(SecureDeleteFile((L"\\\\?\\" + path).c_str(), 0, 1));
    EXPECT_TRUE(observer.patterns.empty());
    EXPECT_TRUE(observer.deletedNames.empty());
    EXPECT_EQ(ReadFileBytes(path), PatternBytes(100));
}

TEST(SecureDeleteFile, AFileThatCannotBeOpenedStaysUnderItsNameUntouched) {
    TempDir dir;
    const std::wstring path = dir.File(L"busy.txt");
    WriteFileBytes(path, PatternBytes(100));
    {
        FileHandle holder(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        Observer observer;
        EXPECT_FALSE(SecureDeleteFile(path.c_str(), 0, 1));
        EXPECT_TRUE(observer.deletedNames.empty());
    }
    EXPECT_EQ(ReadFileBytes(path), PatternBytes(100));
    EXPECT_EQ(FolderContents(dir), std::vector<std::wstring>{L"busy.txt"});
}

TEST(SecureDeleteFile, AFailedDeleteRenamesTheFileBack) {
    TempDir dir;
    const std::wstring path = dir.File(L"stuck.dat");
    WriteFileBytes(path, PatternBytes(700));
    Observer observer;
    observer.makeReadOnly = true;
    EXPECT_FALSE(SecureDeleteFile(path.c_str(), 0, 1));
    ASSERT_EQ(observer.deletedNames.size(), 1u);
    EXPECT_EQ(FolderContents(dir), std::vector<std::wstring>{L"stuck.dat"});
    // Overwritten all the same: the contents are what was seen before the delete.
    EXPECT_EQ(ReadFileBytes(path), observer.contentsBeforeDelete);
    EXPECT_NE(ReadFileBytes(path), PatternBytes(700));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(SecureDeleteFile, CompressedFileIsRenamedAndDeletedWithoutOverwriting) {
    TempDir dir;
    const std::wstring path = dir.File(L"packed.log");
    const Bytes original = PatternBytes(1000);
    WriteFileBytes(path, original);
    {
        FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        DeviceIoControl(file.get(), FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr);
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_COMPRESSED))
        GTEST_SKIP() << "this file system cannot compress files";
    Observer observer;
    ASSERT_TRUE(SecureDeleteFile(path.c_str(), 0, 1));
    EXPECT_TRUE(observer.patterns.empty());
    EXPECT_EQ(observer.contentsBeforeDelete, original);
    EXPECT_FALSE(FileExists(path));
}

TEST(ScrambleFileName, EndsWithRepeatedYAndKeepsTheDots) {
    TempDir dir;
    WriteFileBytes(dir.File(L"a.b.c"), Bytes{1});
    std::wstring now = ScrambleFileName(dir.File(L"a.b.c").c_str());
    EXPECT_EQ(now, dir.File(L"Y.Y.Y"));
    EXPECT_EQ(FolderContents(dir), std::vector<std::wstring>{L"Y.Y.Y"});
    EXPECT_EQ(ReadFileBytes(now), Bytes{1});
}

TEST(ScrambleFileName, NeverReplacesAnotherFile) {
    TempDir dir;
    WriteFileBytes(dir.File(L"own.txt"), Bytes{1});
    WriteFileBytes(dir.File(L"YYY.YYY"), Bytes{2});
    std::wstring now = ScrambleFileName(dir.File(L"own.txt").c_str());
    // The last round's name is taken, so the file keeps the name of the round before.
    EXPECT_EQ(now, dir.File(L"XXX.XXX"));
    EXPECT_EQ(ReadFileBytes(dir.File(L"YYY.YYY")), Bytes{2});
    EXPECT_EQ(ReadFileBytes(now), Bytes{1});
    EXPECT_EQ(FolderContents(dir).size(), 2u);
}

TEST(ScrambleFileName, AMissingFileKeepsItsPath) {
    TempDir dir;
    EXPECT_EQ(ScrambleFileName(dir.File(L"absent.txt").c_str()), dir.File(L"absent.txt"));
    EXPECT_TRUE(FolderContents(dir).empty());
}

}  // namespace
