/* matrix.h: the array interface (libmx) of the MATLAB R14 MEX host, as far as
 * sorvik and its tests need it. This is a stand-in written for this project:
 * the real host's headers are not on this machine.
 *
 * R14 conventions: every dimension, count and index is an int, mxClassID and
 * mxComplexity have R14's numbering (mxDOUBLE_CLASS = 6, mxSINGLE_CLASS = 7,
 * mxREAL = 0). mwSize/mwIndex are aliases of int here so that host code written
 * with them compiles unchanged against Octave's mex.h, where they are wider.
 *
 * Host behaviour modelled: numeric data is zero-filled on creation; an array
 * with no elements has no data (mxGetData returns NULL); trailing singleton
 * dimensions beyond the second are dropped; a creation that cannot be
 * satisfied returns NULL (or, through the test seam, makes an error exit). */
#ifndef R14HOST_MATRIX_H
#define R14HOST_MATRIX_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

typedef struct mxArray_tag mxArray;

typedef int mwSize;
typedef int mwIndex;
typedef int mwSignedIndex;

typedef unsigned short mxChar;
typedef unsigned char mxLogical;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxLOGICAL_CLASS = 3,
    mxCHAR_CLASS = 4,
    mxVOID_CLASS = 5,
    mxDOUBLE_CLASS = 6,
    mxSINGLE_CLASS = 7,
    mxINT8_CLASS = 8,
    mxUINT8_CLASS = 9,
    mxINT16_CLASS = 10,
    mxUINT16_CLASS = 11,
    mxINT32_CLASS = 12,
    mxUINT32_CLASS = 13,
    mxINT64_CLASS = 14,
    mxUINT64_CLASS = 15,
    mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

/* Creation. Numeric classes only (double, single, integer), plus the
 * convenience forms below. NULL when the size cannot be held. */
mxArray *mxCreateNumericArray(int ndim, const int *dims, mxClassID classid, mxComplexity flag);
mxArray *mxCreateNumericMatrix(int m, int n, mxClassID classid, mxComplexity flag);
mxArray *mxCreateDoubleMatrix(int m, int n, mxComplexity flag);
mxArray *mxCreateDoubleScalar(double value);
mxArray *mxCreateLogicalMatrix(int m, int n);
mxArray *mxCreateString(const char *text);
mxArray *mxCreateSparse(int m, int n, int nzmax, mxComplexity flag);
/* A struct array; its fields start empty (NULL). A value set into a field
 * belongs to the struct afterwards, and is destroyed with it. */
mxArray *mxCreateStructMatrix(int m, int n, int nfields, const char **fieldnames);
void mxDestroyArray(mxArray *array);

/* Inspection. */
mxClassID mxGetClassID(const mxArray *array);
const char *mxGetClassName(const mxArray *array);
bool mxIsComplex(const mxArray *array);
bool mxIsSparse(const mxArray *array);
bool mxIsDouble(const mxArray *array);
bool mxIsSingle(const mxArray *array);
bool mxIsNumeric(const mxArray *array);
bool mxIsChar(const mxArray *array);
bool mxIsLogical(const mxArray *array);
bool mxIsEmpty(const mxArray *array);
int mxGetM(const mxArray *array);
int mxGetN(const mxArray *array);
int mxGetNumberOfElements(const mxArray *array);
int mxGetNumberOfDimensions(const mxArray *array);
const int *mxGetDimensions(const mxArray *array);
int mxGetElementSize(const mxArray *array);

/* Data. */
void *mxGetData(const mxArray *array);
void *mxGetImagData(const mxArray *array);
double *mxGetPr(const mxArray *array);
double *mxGetPi(const mxArray *array);
double mxGetScalar(const mxArray *array);
/* Copies a char array into buffer as 8-bit text, NUL-terminated; 1 when it
 * is not a char array or does not fit. */
int mxGetString(const mxArray *array, char *buffer, int size);
int *mxGetIr(const mxArray *array);
int *mxGetJc(const mxArray *array);
int mxGetNzmax(const mxArray *array);

/* Struct fields; index counts elements from 0. */
bool mxIsStruct(const mxArray *array);
int mxGetNumberOfFields(const mxArray *array);
const char *mxGetFieldNameByNumber(const mxArray *array, int n);
mxArray *mxGetField(const mxArray *array, int index, const char *name);
void mxSetField(mxArray *array, int index, const char *name, mxArray *value);

/* Host memory. */
void *mxMalloc(size_t n);
void *mxCalloc(size_t n, size_t size);
void mxFree(void *ptr);

#ifdef __cplusplus
}
#endif

#endif
