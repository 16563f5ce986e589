// The decode status of one run and the files it extracts, shared by the decoder and the report.
#pragma once
#include <windows.h>
#include <shlobj.h>  // IProgressDialog

#include <string>
#include <vector>

#include "unpack/core/envelope_outcome.h"

namespace quendrix {

// Outcome of the decode. -1 / 0xFFFFFFFF mean "not set", 0 means success.
struct DecodeStatus : reader_core::EnvelopeOutcome {
    BYTE compressedContent = 0;     // the plaintext is raw deflate with a trailer
    std::string outputPath;         // the output file that could not be created or written
    std::string inputPath;          // the program's own file
    std::string signerText;         // signer list text, empty when no signer was described
};

// One file being extracted; the list owns the handle.
struct ExtractedFile {
    DWORD flags = 0;
    DWORD remaining = 0;  // bytes still to be written
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
};

class ExtractedFiles {
public:
    ExtractedFiles() = default;
    ~ExtractedFiles() { CloseAll(); }
    ExtractedFiles(const ExtractedFiles&) = delete;
    ExtractedFiles& operator=(const ExtractedFiles&) = delete;

    std::vector<ExtractedFile>& items() { return items_; }
    const std::vector<ExtractedFile>& items() const { return items_; }
    void Close(size_t index);
    void CloseAll();

private:
    std::vector<ExtractedFile> items_;
};

// The size of this program's own file as built, from the record the build stamps into it.
DWORD TemplateSize();

// True when a directory entry's name, in this program's ANSI code page, names a file inside the
// target folder: not empty, not "." or "..", no path separator and no drive or stream colon.
bool IsPlainOutputName(const std::u16string& name);

// Reads the directory behind the program, creates the files and decodes the envelope into them.
// 0 when the envelope was processed to its end, 1 when the run stopped early on a file or format
// error, E_FAIL for missing inputs. templateSize is where the payload starts.
LONG DecodePayload(IProgressDialog* progress, struct QuendrixOptions* options, DecodeStatus* status,
                   const char* targetFolder, ExtractedFiles& files, DWORD templateSize);

}  // namespace quendrix
