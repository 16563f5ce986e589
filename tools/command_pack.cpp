// quill pack: placeholder until the writer is built in.
#include "tools/commands.h"

int CommandPack(ArgumentReader&) { return UsageError(L"pack is not available in this build"); }
