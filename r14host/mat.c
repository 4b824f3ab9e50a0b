/* libmat stand-in: the real host always loads libmat and MEX modules are
 * linked against it; nothing of it is implemented here. */
#include <stdio.h>

#include "mat.h"
#include "r14host_testing.h"

MATFile *matOpen(const char *filename, const char *mode)
{
    (void)filename;
    (void)mode;
    return NULL;
}

int matClose(MATFile *file) { return file == NULL ? 0 : EOF; }

const char *r14hostMatLibrary(void) { return "libmat (r14host stand-in)"; }
