#include "format/service/file_write.h"

bool WriteAll(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr)) return false;
    if (written != size) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}
