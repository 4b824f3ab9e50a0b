/* libmx stand-in: arrays of the MATLAB R14 host (see include/matrix.h). */
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "matrix.h"
#include "r14host_testing.h"

#define ARRAY_MAGIC 0x6d784172u /* "mxAr" */

struct mxArray_tag {
    unsigned magic;
    struct mxArray_tag *prev;
    struct mxArray_tag *next;
    mxClassID classID;
    bool isComplex;
    bool isSparse;
    int ndim;
    int *dims;
    int numel;      /* product of dims */
    int elementSize;
    void *real;     /* NULL when there is nothing to hold */
    void *imag;
    int nzmax;      /* sparse only */
    int *ir;
    int *jc;
    int nfields;    /* struct only: names, and numel * nfields values */
    char **names;
    struct mxArray_tag **fields;
};

static mxArray *liveHead = NULL;
static int liveCount = 0;
static int createdCount = 0;
static int invalidDestroyCount = 0;
static int liveAllocationCount = 0;
static int failCountdown = -1;
static r14hostFailMode failMode = R14HOST_FAIL_RETURN_NULL;
static r14hostErrorExitHandler errorExitHandler = NULL;

/* ---- test seams ---- */

int r14hostLiveArrays(void) { return liveCount; }
int r14hostArraysCreated(void) { return createdCount; }
int r14hostInvalidDestroys(void) { return invalidDestroyCount; }
int r14hostLiveAllocations(void) { return liveAllocationCount; }

bool r14hostIsLiveArray(const mxArray *array)
{
    for (const mxArray *a = liveHead; a != NULL; a = a->next)
        if (a == array)
            return true;
    return false;
}

void r14hostFailArrayCreation(int successesBefore, r14hostFailMode mode)
{
    failCountdown = successesBefore < 0 ? -1 : successesBefore;
    failMode = mode;
}

void r14hostClearFailures(void) { failCountdown = -1; }

void r14hostSetErrorExitHandler(r14hostErrorExitHandler handler) { errorExitHandler = handler; }

/* ---- creation ---- */

static int elementSizeOf(mxClassID classID)
{
    switch (classID) {
    case mxLOGICAL_CLASS: return (int)sizeof(mxLogical);
    case mxCHAR_CLASS: return (int)sizeof(mxChar);
    case mxDOUBLE_CLASS: return 8;
    case mxSINGLE_CLASS: return 4;
    case mxINT8_CLASS: case mxUINT8_CLASS: return 1;
    case mxINT16_CLASS: case mxUINT16_CLASS: return 2;
    case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    default: return 0;
    }
}

/* Applies the pending failure, if any. Returns true when this creation fails
 * by returning NULL; makes the error exit itself in the other mode. */
static bool injectedFailure(void)
{
    if (failCountdown < 0)
        return false;
    if (failCountdown > 0) {
        --failCountdown;
        return false;
    }
    failCountdown = -1;
    if (failMode == R14HOST_FAIL_ERROR_EXIT && errorExitHandler != NULL)
        errorExitHandler("MATLAB:nomem", "Out of memory. Type HELP MEMORY for your options.");
    return true;
}

static void freeParts(mxArray *a)
{
    if (a->names != NULL)
        for (int i = 0; i < a->nfields; ++i)
            free(a->names[i]);
    free(a->names);
    free(a->fields);
    free(a->dims);
    free(a->real);
    free(a->imag);
    free(a->ir);
    free(a->jc);
    free(a);
}

static void linkLive(mxArray *a)
{
    a->magic = ARRAY_MAGIC;
    a->prev = NULL;
    a->next = liveHead;
    if (liveHead != NULL)
        liveHead->prev = a;
    liveHead = a;
    ++liveCount;
    ++createdCount;
}

/* Zero-filled buffer of count elements of size bytes, NULL for none; *ok is
 * cleared when an allocation that was needed failed. */
static void *zeroBuffer(size_t count, size_t size, bool *ok)
{
    if (count == 0 || size == 0)
        return NULL;
    void *p = calloc(count, size);
    if (p == NULL)
        *ok = false;
    return p;
}

/* Common part: dims normalised (negative -> 0, at least two, trailing
 * singletons beyond the second dropped), element count checked to fit int. */
static mxArray *newArray(int ndim, const int *dims, mxClassID classID, bool isComplex)
{
    if (ndim < 0 || (ndim > 0 && dims == NULL))
        return NULL;
    int count = ndim < 2 ? 2 : ndim;
    mxArray *a = (mxArray *)calloc(1, sizeof(mxArray));
    if (a == NULL)
        return NULL;
    a->dims = (int *)calloc((size_t)count, sizeof(int));
    if (a->dims == NULL) {
        freeParts(a);
        return NULL;
    }
    if (ndim == 0) {
        a->dims[0] = 0;
        a->dims[1] = 0;
    } else {
        for (int i = 0; i < count; ++i)
            a->dims[i] = i < ndim ? (dims[i] < 0 ? 0 : dims[i]) : 1;
    }
    while (count > 2 && a->dims[count - 1] == 1)
        --count;
    a->ndim = count;
    int64_t numel = 1;
    for (int i = 0; i < count; ++i) {
        numel *= a->dims[i];
        if (numel > INT_MAX) {
            freeParts(a);
            return NULL;
        }
    }
    a->numel = (int)numel;
    a->classID = classID;
    a->isComplex = isComplex;
    a->elementSize = elementSizeOf(classID);
    return a;
}

static mxArray *createFull(int ndim, const int *dims, mxClassID classID, mxComplexity flag)
{
    if (elementSizeOf(classID) == 0)
        return NULL;
    if (injectedFailure())
        return NULL;
    bool isComplex = flag == mxCOMPLEX && classID != mxCHAR_CLASS && classID != mxLOGICAL_CLASS;
    mxArray *a = newArray(ndim, dims, classID, isComplex);
    if (a == NULL)
        return NULL;
    bool ok = true;
    a->real = zeroBuffer((size_t)a->numel, (size_t)a->elementSize, &ok);
    if (isComplex)
        a->imag = zeroBuffer((size_t)a->numel, (size_t)a->elementSize, &ok);
    if (!ok) {
        freeParts(a);
        return NULL;
    }
    linkLive(a);
    return a;
}

mxArray *mxCreateNumericArray(int ndim, const int *dims, mxClassID classid, mxComplexity flag)
{
    if (classid < mxDOUBLE_CLASS || classid > mxUINT64_CLASS)
        return NULL;
    return createFull(ndim, dims, classid, flag);
}

mxArray *mxCreateNumericMatrix(int m, int n, mxClassID classid, mxComplexity flag)
{
    int dims[2] = {m, n};
    return mxCreateNumericArray(2, dims, classid, flag);
}

mxArray *mxCreateDoubleMatrix(int m, int n, mxComplexity flag)
{
    return mxCreateNumericMatrix(m, n, mxDOUBLE_CLASS, flag);
}

mxArray *mxCreateDoubleScalar(double value)
{
    mxArray *a = mxCreateDoubleMatrix(1, 1, mxREAL);
    if (a != NULL)
        *(double *)a->real = value;
    return a;
}

mxArray *mxCreateLogicalMatrix(int m, int n)
{
    int dims[2] = {m, n};
    return createFull(2, dims, mxLOGICAL_CLASS, mxREAL);
}

mxArray *mxCreateString(const char *text)
{
    size_t length = text == NULL ? 0 : strlen(text);
    if (length > INT_MAX)
        return NULL;
    int dims[2] = {length == 0 ? 0 : 1, (int)length};
    mxArray *a = createFull(2, dims, mxCHAR_CLASS, mxREAL);
    if (a != NULL)
        for (size_t i = 0; i < length; ++i)
            ((mxChar *)a->real)[i] = (unsigned char)text[i];
    return a;
}

int mxGetString(const mxArray *a, char *buffer, int size)
{
    if (a == NULL || a->classID != mxCHAR_CLASS || buffer == NULL || size <= 0)
        return 1;
    const mxChar *text = (const mxChar *)a->real;
    int i = 0;
    for (; i < a->numel && i < size - 1; ++i)
        buffer[i] = text[i] < 128 ? (char)text[i] : '?';
    buffer[i] = '\0';
    return i < a->numel ? 1 : 0;
}

mxArray *mxCreateSparse(int m, int n, int nzmax, mxComplexity flag)
{
    if (injectedFailure())
        return NULL;
    int dims[2] = {m, n};
    mxArray *a = newArray(2, dims, mxDOUBLE_CLASS, flag == mxCOMPLEX);
    if (a == NULL)
        return NULL;
    a->isSparse = true;
    a->nzmax = nzmax < 1 ? 1 : nzmax;
    bool ok = true;
    a->real = zeroBuffer((size_t)a->nzmax, sizeof(double), &ok);
    if (a->isComplex)
        a->imag = zeroBuffer((size_t)a->nzmax, sizeof(double), &ok);
    a->ir = (int *)zeroBuffer((size_t)a->nzmax, sizeof(int), &ok);
    a->jc = (int *)zeroBuffer((size_t)a->dims[1] + 1, sizeof(int), &ok);
    if (!ok) {
        freeParts(a);
        return NULL;
    }
    linkLive(a);
    return a;
}

mxArray *mxCreateStructMatrix(int m, int n, int nfields, const char **fieldnames)
{
    if (nfields < 0 || (nfields > 0 && fieldnames == NULL) || injectedFailure())
        return NULL;
    int dims[2] = {m, n};
    mxArray *a = newArray(2, dims, mxSTRUCT_CLASS, false);
    if (a == NULL)
        return NULL;
    bool ok = true;
    a->nfields = nfields;
    a->names = (char **)zeroBuffer((size_t)nfields, sizeof(char *), &ok);
    a->fields = (mxArray **)zeroBuffer((size_t)a->numel * (size_t)nfields, sizeof(mxArray *), &ok);
    for (int i = 0; ok && i < nfields; ++i) {
        const size_t length = strlen(fieldnames[i]) + 1;
        a->names[i] = (char *)malloc(length);
        ok = a->names[i] != NULL;
        if (ok)
            memcpy(a->names[i], fieldnames[i], length);
    }
    if (!ok) {
        freeParts(a);
        return NULL;
    }
    linkLive(a);
    return a;
}

static int fieldNumber(const mxArray *a, const char *name)
{
    if (a == NULL || a->classID != mxSTRUCT_CLASS || name == NULL)
        return -1;
    for (int i = 0; i < a->nfields; ++i)
        if (strcmp(a->names[i], name) == 0)
            return i;
    return -1;
}

void mxDestroyArray(mxArray *array)
{
    if (array == NULL)
        return;
    if (!r14hostIsLiveArray(array)) {
        ++invalidDestroyCount;
        return;
    }
    if (array->fields != NULL)
        for (int i = 0; i < array->numel * array->nfields; ++i)
            mxDestroyArray(array->fields[i]);
    if (array->prev != NULL)
        array->prev->next = array->next;
    else
        liveHead = array->next;
    if (array->next != NULL)
        array->next->prev = array->prev;
    array->magic = 0;
    --liveCount;
    freeParts(array);
}

/* ---- inspection ---- */

mxClassID mxGetClassID(const mxArray *a) { return a->classID; }

const char *mxGetClassName(const mxArray *a)
{
    static const char *const names[] = {"unknown", "cell",   "struct", "logical", "char",  "void",
                                        "double",  "single", "int8",   "uint8",   "int16", "uint16",
                                        "int32",   "uint32", "int64",  "uint64",  "function_handle"};
    int id = (int)a->classID;
    return id >= 0 && id <= (int)mxFUNCTION_CLASS ? names[id] : "unknown";
}

bool mxIsComplex(const mxArray *a) { return a->isComplex; }
bool mxIsSparse(const mxArray *a) { return a->isSparse; }
bool mxIsDouble(const mxArray *a) { return a->classID == mxDOUBLE_CLASS; }
bool mxIsSingle(const mxArray *a) { return a->classID == mxSINGLE_CLASS; }
bool mxIsNumeric(const mxArray *a) { return a->classID >= mxDOUBLE_CLASS && a->classID <= mxUINT64_CLASS; }
bool mxIsChar(const mxArray *a) { return a->classID == mxCHAR_CLASS; }
bool mxIsLogical(const mxArray *a) { return a->classID == mxLOGICAL_CLASS; }
bool mxIsEmpty(const mxArray *a) { return a->numel == 0; }
int mxGetM(const mxArray *a) { return a->dims[0]; }

int mxGetN(const mxArray *a)
{
    int n = 1;
    for (int i = 1; i < a->ndim; ++i)
        n *= a->dims[i];
    return n;
}

int mxGetNumberOfElements(const mxArray *a) { return a->numel; }
int mxGetNumberOfDimensions(const mxArray *a) { return a->ndim; }
const int *mxGetDimensions(const mxArray *a) { return a->dims; }
int mxGetElementSize(const mxArray *a) { return a->elementSize; }

/* ---- data ---- */

void *mxGetData(const mxArray *a) { return a->real; }
void *mxGetImagData(const mxArray *a) { return a->imag; }
double *mxGetPr(const mxArray *a) { return (double *)a->real; }
double *mxGetPi(const mxArray *a) { return (double *)a->imag; }

double mxGetScalar(const mxArray *a)
{
    if (a->real == NULL)
        return 0.0;
    switch (a->classID) {
    case mxDOUBLE_CLASS: return *(const double *)a->real;
    case mxSINGLE_CLASS: return *(const float *)a->real;
    case mxLOGICAL_CLASS: return *(const mxLogical *)a->real;
    case mxCHAR_CLASS: return *(const mxChar *)a->real;
    case mxINT8_CLASS: return *(const int8_t *)a->real;
    case mxUINT8_CLASS: return *(const uint8_t *)a->real;
    case mxINT16_CLASS: return *(const int16_t *)a->real;
    case mxUINT16_CLASS: return *(const uint16_t *)a->real;
    case mxINT32_CLASS: return *(const int32_t *)a->real;
    case mxUINT32_CLASS: return *(const uint32_t *)a->real;
    case mxINT64_CLASS: return (double)*(const int64_t *)a->real;
    case mxUINT64_CLASS: return (double)*(const uint64_t *)a->real;
    default: return 0.0;
    }
}

int *mxGetIr(const mxArray *a) { return a->ir; }
int *mxGetJc(const mxArray *a) { return a->jc; }
int mxGetNzmax(const mxArray *a) { return a->nzmax; }

bool mxIsStruct(const mxArray *a) { return a->classID == mxSTRUCT_CLASS; }
int mxGetNumberOfFields(const mxArray *a) { return a->classID == mxSTRUCT_CLASS ? a->nfields : 0; }

const char *mxGetFieldNameByNumber(const mxArray *a, int n)
{
    return a->classID == mxSTRUCT_CLASS && n >= 0 && n < a->nfields ? a->names[n] : NULL;
}

mxArray *mxGetField(const mxArray *a, int index, const char *name)
{
    const int k = fieldNumber(a, name);
    if (k < 0 || index < 0 || index >= a->numel)
        return NULL;
    return a->fields[index * a->nfields + k];
}

void mxSetField(mxArray *a, int index, const char *name, mxArray *value)
{
    const int k = fieldNumber(a, name);
    if (k < 0 || index < 0 || index >= a->numel)
        return;
    mxArray **slot = &a->fields[index * a->nfields + k];
    if (*slot != value)
        mxDestroyArray(*slot);
    *slot = value;
}

/* ---- host memory ---- */

void *mxMalloc(size_t n)
{
    void *p = malloc(n == 0 ? 1 : n);
    if (p != NULL)
        ++liveAllocationCount;
    return p;
}

void *mxCalloc(size_t n, size_t size)
{
    void *p = calloc(n == 0 ? 1 : n, size == 0 ? 1 : size);
    if (p != NULL)
        ++liveAllocationCount;
    return p;
}

void mxFree(void *ptr)
{
    if (ptr == NULL)
        return;
    --liveAllocationCount;
    free(ptr);
}
