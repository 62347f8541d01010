// Address lists and validation (not built yet).
#include "tev32.h"

extern "C" int32_t tevVerifyFormat(const char *address) { return address ? 0 : TEV_E_NULL_POINTER; }
