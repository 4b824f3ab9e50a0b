/* r14host_testing.h: test seams of the stand-in host libraries. Only the
 * loader and the tests use these; a module never does. */
#ifndef R14HOST_TESTING_H
#define R14HOST_TESTING_H

#include <setjmp.h>

#include "matrix.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- libmx ---- */

/* Arrays created and not yet destroyed, in this process. */
int r14hostLiveArrays(void);
/* Arrays created since the process started. */
int r14hostArraysCreated(void);
/* mxDestroyArray calls on a pointer that is not a live array (double destroy,
 * foreign pointer); such calls are otherwise ignored. */
int r14hostInvalidDestroys(void);
/* mxMalloc/mxCalloc blocks not yet freed with mxFree. */
int r14hostLiveAllocations(void);
/* Whether the pointer is an array created and not yet destroyed. */
bool r14hostIsLiveArray(const mxArray *array);

typedef enum {
    R14HOST_FAIL_RETURN_NULL = 0, /* the creation returns NULL */
    R14HOST_FAIL_ERROR_EXIT = 1   /* the creation makes an error exit, id "MATLAB:nomem" */
} r14hostFailMode;

/* Makes one array creation fail: the next `successesBefore` creations
 * succeed, the one after fails as `mode` says, later ones succeed again. */
void r14hostFailArrayCreation(int successesBefore, r14hostFailMode mode);
/* Cancels a pending r14hostFailArrayCreation. */
void r14hostClearFailures(void);

/* Used by libmex to take over libmx's error exits. */
typedef void (*r14hostErrorExitHandler)(const char *id, const char *message);
void r14hostSetErrorExitHandler(r14hostErrorExitHandler handler);

/* ---- libmex ---- */

/* Arms the error exit: until disarmed, mexErrMsgIdAndTxt records its id and
 * message, disarms, and longjmps to `env` with value 1. An error exit while
 * disarmed prints the error and aborts the process. */
void r14hostArmErrorExit(jmp_buf *env);
void r14hostDisarmErrorExit(void);
/* The last error exit's identifier ("" for mexErrMsgTxt) and message. */
const char *r14hostLastErrorId(void);
const char *r14hostLastErrorMessage(void);
int r14hostErrorExits(void);
/* Warnings issued so far, and the last one's identifier. */
int r14hostWarnings(void);
const char *r14hostLastWarningId(void);

/* ---- libmat ---- */

/* Names the stand-in; a host calls it so that libmat is loaded, as the real
 * host always has it. */
const char *r14hostMatLibrary(void);

#ifdef __cplusplus
}
#endif

#endif
