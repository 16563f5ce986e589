#include "tools/file_stream.h"

HRESULT FileReadStream::Read(void* buffer, ULONG wanted, ULONG* got) {
    ULONG ignored = 0;
    if (!got) got = &ignored;
    *got = 0;
    DWORD left = size_ - done_;
    DWORD want = wanted < left ? wanted : left;
    BYTE* out = static_cast<BYTE*>(buffer);
    while (*got < want) {
        DWORD read = 0;
        if (!ReadFile(file_, out + *got, want - *got, &read, nullptr)) return E_FAIL;
        if (read == 0) {
            // The file shrank after it was sized: the envelope's lengths would be wrong.
            SetLastError(ERROR_HANDLE_EOF);
            return E_FAIL;
        }
        *got += read;
    }
    done_ += *got;
    return done_ == size_ ? S_FALSE : S_OK;
}
