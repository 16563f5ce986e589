// Removes a file so that neither its contents nor its name are easily restored: the contents are
// overwritten in place, the name is replaced 42 times, then the file is deleted.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

// Overwrites, renames and deletes the file. provider gives the random pattern (0: a verify-only
// provider of our own is used); passes is the number of three-pattern passes (0: the file is only
// extended to whole sectors, renamed and deleted). Network paths (\\...) are refused. Compressed,
// encrypted and sparse files are not overwritten, only renamed and deleted. Nonzero when the file
// is gone; 0 otherwise, with the file under its own name and the reason in the last error.
BOOL SecureDeleteFile(const wchar_t* path, HCRYPTPROV provider, DWORD passes);

// Writes 0xAA, 0x55 and a random pattern, in that order, over the first length bytes of the open
// file, passes times. For an unbuffered handle length must be a whole number of sectors; every
// write then is too, and the pattern buffer is page-aligned. Nonzero on success.
BOOL OverwriteFileContents(HANDLE file, HCRYPTPROV provider, ULONGLONG length, DWORD passes);

// Renames the file 42 times, its name (dots kept) made of '0', '1', ... up to 'Y' in turn; a
// rename that fails leaves the name as it was for the next round. Returns the path the file now has.
std::wstring ScrambleFileName(const wchar_t* path);

// Points where tests observe the work; null in the product.
struct SecureDeleteHooks {
    // After one pattern (0 = 0xAA, 1 = 0x55, 2 = random) has covered the whole length.
    void (*afterPattern)(void* context, HANDLE file, DWORD pass, DWORD pattern) = nullptr;
    // After the renames, just before the file is deleted under its last name.
    void (*beforeDelete)(void* context, const wchar_t* path) = nullptr;
    void* context = nullptr;
};
void SetSecureDeleteHooks(const SecureDeleteHooks* hooks);
