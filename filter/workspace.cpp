#include "filter/workspace.h"

namespace sorvik::detail {

FilterStatus Workspace::setUp(const Geometry& geometry, float* estimateOut, bool matches)
{
    g = geometry;
    FilterStatus status = accumulators.allocate(g, estimateOut);
    if (status == FilterStatus::ok)
        status = rings.allocate(g);
    if (status == FilterStatus::ok && matches)
        status = transforms.allocate(g);
    if (status == FilterStatus::ok)
        status = band.allocate(g);
    if (status == FilterStatus::ok && matches)
        status = transforms.makePlans(g);
    return status;
}

} // namespace sorvik::detail
