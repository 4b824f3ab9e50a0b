/* mat.h: the MAT-file interface (libmat) of the MATLAB R14 host, stand-in.
 * The real host always loads libmat and modules are linked against it; this
 * stand-in has no MAT-file support: matOpen always fails. */
#ifndef R14HOST_MAT_H
#define R14HOST_MAT_H

#include "matrix.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MATFile_tag MATFile;

MATFile *matOpen(const char *filename, const char *mode); /* always NULL */
int matClose(MATFile *file);                             /* 0 for NULL, else EOF */

#ifdef __cplusplus
}
#endif

#endif
