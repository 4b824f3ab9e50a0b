// Four candidates at a time with SSE2, the baseline of both x86 builds.
#include "filter/match_scan_impl.h"

#include "filter/simd.h"

namespace sorvik::detail {

void scanRowSse2(const RowScan& row, MatchList& list) { scanRowWith<Sse2, 4>(row, list); }

} // namespace sorvik::detail
