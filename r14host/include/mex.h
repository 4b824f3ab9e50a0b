/* mex.h: the MEX interface (libmex) of the MATLAB R14 host, stand-in written
 * for this project (see matrix.h). A module defines mexFunction; sorvik also
 * defines mexVersion. */
#ifndef R14HOST_MEX_H
#define R14HOST_MEX_H

#include "matrix.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The module's entry, called by the host once per MATLAB call. */
void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

/* The module's host-version export. */
const char *mexVersion(void);

/* Error exit: records the identifier and the printf-formatted message and
 * returns to the host's call site without unwinding (no destructors run), the
 * way the real host leaves a module. Does not return. */
void mexErrMsgIdAndTxt(const char *id, const char *format, ...)
    __attribute__((noreturn, format(printf, 2, 3)));
void mexErrMsgTxt(const char *message) __attribute__((noreturn));

/* Warnings: recorded and printed to stderr; the call goes on. */
void mexWarnMsgIdAndTxt(const char *id, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void mexWarnMsgTxt(const char *message);

int mexPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif
