/* libmex stand-in: the MEX services of the MATLAB R14 host (see include/mex.h). */
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mex.h"
#include "r14host_testing.h"

static jmp_buf *armedExit = NULL;
static char lastErrorId[256];
static char lastErrorMessage[2048];
static int errorExitCount = 0;
static char lastWarningId[256];
static int warningCount = 0;

void r14hostArmErrorExit(jmp_buf *env) { armedExit = env; }
void r14hostDisarmErrorExit(void) { armedExit = NULL; }
const char *r14hostLastErrorId(void) { return lastErrorId; }
const char *r14hostLastErrorMessage(void) { return lastErrorMessage; }
int r14hostErrorExits(void) { return errorExitCount; }
int r14hostWarnings(void) { return warningCount; }
const char *r14hostLastWarningId(void) { return lastWarningId; }

static void copyText(char *target, size_t size, const char *text)
{
    snprintf(target, size, "%s", text == NULL ? "" : text);
}

/* Records the error and leaves the module: longjmp to the armed call site,
 * skipping every frame of the module without running anything in them. */
static void errorExit(const char *id, const char *message) __attribute__((noreturn));
static void errorExit(const char *id, const char *message)
{
    copyText(lastErrorId, sizeof lastErrorId, id);
    copyText(lastErrorMessage, sizeof lastErrorMessage, message);
    ++errorExitCount;
    jmp_buf *env = armedExit;
    armedExit = NULL;
    if (env == NULL) {
        fprintf(stderr, "r14host: error exit outside a module call: %s: %s\n", lastErrorId,
                lastErrorMessage);
        abort();
    }
    longjmp(*env, 1);
}

void mexErrMsgIdAndTxt(const char *id, const char *format, ...)
{
    char message[sizeof lastErrorMessage] = "";
    if (format != NULL) {
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
    errorExit(id, message);
}

void mexErrMsgTxt(const char *message) { errorExit("", message); }

static void warn(const char *id, const char *message)
{
    copyText(lastWarningId, sizeof lastWarningId, id);
    ++warningCount;
    fprintf(stderr, "Warning: %s\n", message);
}

void mexWarnMsgIdAndTxt(const char *id, const char *format, ...)
{
    char message[2048] = "";
    if (format != NULL) {
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
    warn(id, message);
}

void mexWarnMsgTxt(const char *message) { warn("", message == NULL ? "" : message); }

int mexPrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vprintf(format, args);
    va_end(args);
    fflush(stdout);
    return n;
}

/* libmx's own error exits (an out-of-memory creation, through the test seam)
 * leave the module the same way. */
__attribute__((constructor)) static void takeOverMxErrorExits(void)
{
    r14hostSetErrorExitHandler(errorExit);
}
