// The host-version export of the module.
#include "mex.h"

extern "C" const char* mexVersion(void) { return "MATLAB R14 native"; }
