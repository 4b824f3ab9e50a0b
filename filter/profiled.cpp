// The profiled entry, for the benchmark: part of the testing target, so that
// the installed library has no call that fills a profile.
#include "filter/profile.h"

namespace sorvik {

FilterStatus detail::runFilterProfiled(const FilterParams& params, const double* noisy,
                                       const float* pilot, const double* window, float* estimate,
                                       const FilterOptions& options, detail::CallProfile* profile)
{
    const FilterStatus valid = checkParams(params);
    if (valid != FilterStatus::ok)
        return valid;
    const Channel channel{noisy, pilot, params.sigma, estimate};
    return runCheckedChannels(params, &channel, 1, window, options, profile);
}

} // namespace sorvik
