// Payloads for the self-decoding program made with the envelope writer, and runs of the shipped
// 32-bit program that read and answer the message box it shows.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pack/envelope_writer.h"

namespace quendrix_test {

struct PackedFile {
    std::wstring name;
    std::vector<uint8_t> bytes;
    DWORD flags = 0;
};

struct PayloadSpec {
    std::vector<PackedFile> files;
    bool compressed = false;
    std::vector<PCCERT_CONTEXT> recipients;
    std::vector<SignerEntry> signers;
    DWORD algId = CALG_AES_256;
    DWORD keyLength = 256;
    DWORD hashAlgId = CALG_SHA1;  // the signers' keys sit in type-1 containers
    bool addCertificates = true;  // the signers' certificates go into the envelope
};

// The shipped 32-bit program and the command-line front end of this build.
std::wstring ShippedProgramPath();
std::wstring QuillProgramPath();

// A copy of the shipped program with the directory and the envelope appended; false on failure.
bool BuildPayloadProgram(const std::wstring& target, const PayloadSpec& spec);

// Raw deflate at level 9 with the CRC-32 and size behind it.
std::vector<uint8_t> CompressPayload(const std::vector<uint8_t>& plain);

struct RunResult {
    bool exited = false;
    bool boxShown = false;
    std::string boxText;
    DWORD exitCode = 0xFFFFFFFF;
};

// Starts the program in the folder with the arguments, waits for a message box with the caption,
// reads its text and presses OK, then waits for the program to end.
RunResult RunProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                     const std::string& caption);

// BuildPayloadProgram with the named certificate of the test store (and its key) as the signer.
bool BuildSignedPayloadProgram(const std::wstring& target, const PayloadSpec& spec, const wchar_t* signerName);

}  // namespace quendrix_test
