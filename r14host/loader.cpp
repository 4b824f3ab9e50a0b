#include "loader.h"

#include <dlfcn.h>

#include <csetjmp>
#include <cstring>
#include <stdexcept>

#include "r14host_testing.h"

namespace r14host {

void ArrayDeleter::operator()(mxArray* array) const { mxDestroyArray(array); }

namespace {

Array checked(mxArray* array, const char* what)
{
    if (array == nullptr)
        throw std::runtime_error(std::string("libmx could not create ") + what);
    return Array(array);
}

template <typename T>
Array filledMatrix(int rows, int cols, mxClassID classID, const std::vector<T>& data, const char* what)
{
    Array array = checked(mxCreateNumericMatrix(rows, cols, classID, mxREAL), what);
    if (!data.empty()) {
        if (data.size() != static_cast<std::size_t>(mxGetNumberOfElements(array.get())))
            throw std::invalid_argument(std::string(what) + ": data size does not match the dimensions");
        std::memcpy(mxGetData(array.get()), data.data(), data.size() * sizeof(T));
    }
    return array;
}

template <typename T>
std::vector<T> copyData(const mxArray* array, mxClassID classID)
{
    if (mxGetClassID(array) != classID)
        throw std::invalid_argument("array class does not match the requested data type");
    const auto* data = static_cast<const T*>(mxGetData(array));
    const int count = mxGetNumberOfElements(array);
    if (data == nullptr)
        return {};
    return std::vector<T>(data, data + count);
}

// The host's call site. setjmp is taken here, and only plain values live in
// this frame, so the longjmp of an error exit lands back here safely.
bool callGuarded(MexFunction function, int nlhs, mxArray** plhs, int nrhs, const mxArray** prhs)
{
    std::jmp_buf env;
    r14hostArmErrorExit(&env);
    if (setjmp(env) != 0)
        return false; // error exit: libmex has disarmed already
    function(nlhs, plhs, nrhs, prhs);
    r14hostDisarmErrorExit();
    return true;
}

} // namespace

Array doubleMatrix(int rows, int cols, const std::vector<double>& data)
{
    return filledMatrix(rows, cols, mxDOUBLE_CLASS, data, "a double matrix");
}

Array singleMatrix(int rows, int cols, const std::vector<float>& data)
{
    return filledMatrix(rows, cols, mxSINGLE_CLASS, data, "a single matrix");
}

Array doubleScalar(double value) { return checked(mxCreateDoubleScalar(value), "a double scalar"); }

Array emptyDouble(int rows, int cols)
{
    if (rows != 0 && cols != 0)
        throw std::invalid_argument("emptyDouble: one dimension must be 0");
    return doubleMatrix(rows, cols);
}

Array numericArray(const std::vector<int>& dims, mxClassID classID, mxComplexity complexity)
{
    return checked(mxCreateNumericArray(static_cast<int>(dims.size()), dims.data(), classID, complexity),
                   "a numeric array");
}

std::vector<int> dimensions(const mxArray* array)
{
    const int* dims = mxGetDimensions(array);
    return std::vector<int>(dims, dims + mxGetNumberOfDimensions(array));
}

std::vector<double> doubleData(const mxArray* array) { return copyData<double>(array, mxDOUBLE_CLASS); }
std::vector<float> singleData(const mxArray* array) { return copyData<float>(array, mxSINGLE_CLASS); }

int liveArrays() { return r14hostLiveArrays(); }

Module::Module(const std::string& path) : path_(path)
{
    // The real host has libmat loaded before any module; so does this one.
    (void)r14hostMatLibrary();
    // Never unmapped, even after dlclose: the leak checkers that run at exit
    // (LeakSanitizer, valgrind) then still see the module's static data, such
    // as its C++ runtime's emergency exception pool, and can name its frames.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ == nullptr)
        throw std::runtime_error("cannot load " + path + ": " + dlerror());
    function_ = reinterpret_cast<MexFunction>(dlsym(handle_, "mexFunction"));
    version_ = reinterpret_cast<MexVersion>(dlsym(handle_, "mexVersion"));
    if (function_ == nullptr) {
        dlclose(handle_);
        throw std::runtime_error(path + " has no mexFunction");
    }
}

Module::~Module() { dlclose(handle_); }

std::string Module::version() const
{
    if (version_ == nullptr)
        throw std::runtime_error(path_ + " has no mexVersion");
    const char* text = version_();
    return text == nullptr ? std::string() : std::string(text);
}

CallResult Module::call(int nlhs, const std::vector<const mxArray*>& inputs) const
{
    return callEntry(function_, nlhs, inputs);
}

void* Module::symbol(const char* name) const { return dlsym(handle_, name); }

CallResult callEntry(MexFunction function, int nlhs, const std::vector<const mxArray*>& inputs)
{
    const std::size_t slots = nlhs < 1 ? 1 : static_cast<std::size_t>(nlhs);
    std::vector<mxArray*> plhs(slots, nullptr);
    std::vector<const mxArray*> prhs(inputs);
    CallResult result;
    const bool returned = callGuarded(function, nlhs, plhs.data(), static_cast<int>(prhs.size()),
                                      prhs.empty() ? nullptr : prhs.data());
    if (returned) {
        for (mxArray* slot : plhs)
            result.outputs.emplace_back(slot);
    } else {
        result.errorExit = true;
        result.errorId = r14hostLastErrorId();
        result.errorMessage = r14hostLastErrorMessage();
        result.slotsAtErrorExit = plhs;
    }
    return result;
}

} // namespace r14host
