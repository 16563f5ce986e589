// Program entry of the self-decoding program.
#include <windows.h>

#include <cstdlib>

#include "self_decoding/decode_status.h"
#include "self_decoding/run.h"
#include "self_decoding/template_size.h"

namespace quendrix {

DWORD TemplateSize() {
    // Read through the volatile record: the build writes the real value after linking.
    return quendrixTemplateSize.size;
}

}  // namespace quendrix

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return quendrix::RunQuendrix(__argc, __argv, quendrix::TemplateSize());
}
