// The stand-in host itself: the behaviour the module tests rely on.
#include <gtest/gtest.h>

#include <csetjmp>

#include "loader.h"
#include "mex.h"
#include "r14host_testing.h"

TEST(R14Host, ClassAndComplexityNumbering)
{
    EXPECT_EQ(mxDOUBLE_CLASS, 6);
    EXPECT_EQ(mxSINGLE_CLASS, 7);
    EXPECT_EQ(mxREAL, 0);
    EXPECT_EQ(sizeof(mwSize), sizeof(int));
}

TEST(R14Host, LiveArraysAreCounted)
{
    const int before = r14host::liveArrays();
    mxArray* a = mxCreateDoubleMatrix(3, 4, mxREAL);
    mxArray* b = mxCreateDoubleScalar(2.5);
    EXPECT_EQ(r14host::liveArrays(), before + 2);
    EXPECT_TRUE(r14hostIsLiveArray(a));
    EXPECT_EQ(mxGetScalar(b), 2.5);
    mxDestroyArray(a);
    mxDestroyArray(b);
    EXPECT_EQ(r14host::liveArrays(), before);
    const int invalid = r14hostInvalidDestroys();
    mxDestroyArray(a); // double destroy is counted, not performed
    EXPECT_EQ(r14hostInvalidDestroys(), invalid + 1);
}

TEST(R14Host, NumericArrayShapeAndData)
{
    const int dims[] = {2, 3, 1, 1};
    r14host::Array a(mxCreateNumericArray(4, dims, mxSINGLE_CLASS, mxREAL));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(mxGetNumberOfDimensions(a.get()), 2); // trailing singletons dropped
    EXPECT_EQ(mxGetM(a.get()), 2);
    EXPECT_EQ(mxGetN(a.get()), 3);
    EXPECT_EQ(mxGetElementSize(a.get()), 4);
    for (float v : r14host::singleData(a.get()))
        EXPECT_EQ(v, 0.0f); // zero-filled
    const int dims3[] = {2, 3, 4};
    r14host::Array b(mxCreateNumericArray(3, dims3, mxDOUBLE_CLASS, mxCOMPLEX));
    EXPECT_EQ(mxGetN(b.get()), 12);
    EXPECT_EQ(mxGetNumberOfElements(b.get()), 24);
    EXPECT_TRUE(mxIsComplex(b.get()));
    EXPECT_NE(mxGetImagData(b.get()), nullptr);
}

TEST(R14Host, EmptyArraysHaveNoData)
{
    r14host::Array a = r14host::emptyDouble(0, 7);
    EXPECT_TRUE(mxIsEmpty(a.get()));
    EXPECT_EQ(mxGetData(a.get()), nullptr);
    EXPECT_EQ(r14host::dimensions(a.get()), (std::vector<int>{0, 7}));
}

TEST(R14Host, OversizedCreationReturnsNull)
{
    const int dims[] = {65536, 65536};
    EXPECT_EQ(mxCreateNumericArray(2, dims, mxSINGLE_CLASS, mxREAL), nullptr);
}

TEST(R14Host, FailureSeamFailsExactlyOneCreation)
{
    r14hostFailArrayCreation(1, R14HOST_FAIL_RETURN_NULL);
    mxArray* first = mxCreateDoubleScalar(1);
    mxArray* second = mxCreateDoubleScalar(2);
    mxArray* third = mxCreateDoubleScalar(3);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    mxDestroyArray(first);
    mxDestroyArray(third);
}

TEST(R14Host, ErrorExitReturnsToTheArmedCallSite)
{
    std::jmp_buf env;
    volatile int reached = 0;
    r14hostArmErrorExit(&env);
    if (setjmp(env) == 0) {
        reached = 1;
        mexErrMsgIdAndTxt("test:id", "value %d", 42);
    }
    EXPECT_EQ(reached, 1);
    EXPECT_STREQ(r14hostLastErrorId(), "test:id");
    EXPECT_STREQ(r14hostLastErrorMessage(), "value 42");
}
