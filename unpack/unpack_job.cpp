#include "unpack/unpack_job.h"

UnpackJob::~UnpackJob() {
    // A failed job removes the output it created, unless the user chose that name or a write
    // failed (then the partial output is left for the user to inspect).
    if (!outputConfirmed && jobResult != 0 && writeError == 0 && !outputPath.empty())
        DeleteFileW(outputPath.c_str());
}
