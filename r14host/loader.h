// mexloader: loads a built MEX module with dlopen and calls it the way the
// MATLAB R14 host does, for tests. Arrays come from the libmx stand-in.
#ifndef R14HOST_LOADER_H
#define R14HOST_LOADER_H

#include <memory>
#include <string>
#include <vector>

#include "matrix.h"

namespace r14host {

struct ArrayDeleter {
    void operator()(mxArray* array) const;
};
// An array owned by the caller (the test), destroyed with mxDestroyArray.
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// Array helpers. Data is column-major; an empty data vector leaves the array
// zero-filled, otherwise it must hold rows * cols values. They throw
// std::runtime_error when libmx cannot create the array.
Array doubleMatrix(int rows, int cols, const std::vector<double>& data = {});
Array singleMatrix(int rows, int cols, const std::vector<float>& data = {});
Array doubleScalar(double value);
Array emptyDouble(int rows = 0, int cols = 0);
Array numericArray(const std::vector<int>& dims, mxClassID classID, mxComplexity complexity = mxREAL);

// Copies of an array's dimensions and real data (the class must match).
std::vector<int> dimensions(const mxArray* array);
std::vector<double> doubleData(const mxArray* array);
std::vector<float> singleData(const mxArray* array);

// Arrays created and not yet destroyed in this process (libmx's count).
int liveArrays();

struct CallResult {
    // True when the module left through mexErrMsgIdAndTxt (or a libmx error).
    bool errorExit = false;
    std::string errorId;
    std::string errorMessage;
    // After a normal return: every output slot (max(nlhs, 1) of them), owned
    // here; slots the module did not fill are null.
    std::vector<Array> outputs;
    // After an error exit: what the slots held, not owned (a real host would
    // discard them; here they show up in liveArrays()).
    std::vector<mxArray*> slotsAtErrorExit;
};

// A module's entry point, mexFunction.
using MexFunction = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

// Calls an entry the way the host does (see Module::call), for entries linked
// into the calling program rather than loaded.
CallResult callEntry(MexFunction function, int nlhs, const std::vector<const mxArray*>& inputs);

class Module {
public:
    // dlopen()s the module (RTLD_NOW | RTLD_LOCAL, kept mapped until the
    // process ends: RTLD_NODELETE) and looks up mexFunction
    // and mexVersion. Throws std::runtime_error when it cannot be loaded or
    // has no mexFunction.
    explicit Module(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& path() const { return path_; }
    bool hasVersion() const { return version_ != nullptr; }
    // The text mexVersion returns; throws when the module has no mexVersion.
    std::string version() const;

    // Calls mexFunction(nlhs, plhs, nrhs, prhs) with nrhs = inputs.size() and
    // max(nlhs, 1) output slots, all null, as the host does.
    CallResult call(int nlhs, const std::vector<const mxArray*>& inputs) const;

    // Another exported symbol of the module (a test build's seams), or null.
    void* symbol(const char* name) const;

private:
    using MexVersion = const char* (*)();

    std::string path_;
    void* handle_ = nullptr;
    MexFunction function_ = nullptr;
    MexVersion version_ = nullptr;
};

} // namespace r14host

#endif
