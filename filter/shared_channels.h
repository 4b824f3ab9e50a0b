// The channels beyond the first of a call: they take the first channel's
// groups, so each needs only its own workspace (without a transform set) and
// rings, computed with the walk's threads' transforms. Every stage that
// runs channels together sets them up the same way, here.
#ifndef SORVIK_FILTER_SHARED_CHANNELS_H
#define SORVIK_FILTER_SHARED_CHANNELS_H

#include "filter/buffers.h"
#include "filter/engine.h"
#include "filter/rings.h"
#include "filter/workspace.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace sorvik::detail {

class SharedChannels {
public:
    // What a stage says of channel c + 1: where its estimate goes and the
    // images its rings are computed from.
    struct Part {
        float* estimate = nullptr;
        Images images;
    };

    // Sets up channels 1 .. count. `describe(c, geometry)` receives a copy
    // of the first channel's geometry to adjust for channel c + 1 (its
    // sigma, its thresholds) and returns its Part. On failure what was made
    // is released with this object.
    template <class Describe>
    FilterStatus setUp(const Geometry& first, std::size_t count, Describe&& describe)
    {
        if (count == 0)
            return FilterStatus::ok;
        states_ = allocateTable<State>(count);
        views_ = allocateTable<SharedChannel>(count);
        if (!states_ || !views_)
            return FilterStatus::outOfMemory;
        for (std::size_t c = 0; c < count; ++c) {
            Geometry g = first;
            const Part part = describe(c, g);
            State& s = states_[c];
            const FilterStatus status = s.ws.setUp(g, part.estimate, false);
            if (status != FilterStatus::ok)
                return status;
            s.rings.emplace(s.ws.g, s.ws.rings, s.ws.band, part.images);
            views_[c] = SharedChannel{&s.ws, &*s.rings};
            count_ = c + 1;
        }
        return FilterStatus::ok;
    }

    std::int32_t count() const { return std::int32_t(count_); }
    const SharedChannel* views() const { return views_.get(); }
    Workspace& workspace(std::size_t c) { return states_[c].ws; }

private:
    struct State {
        Workspace ws;
        std::optional<SpectrumRings> rings;
    };
    std::unique_ptr<State[]> states_;
    std::unique_ptr<SharedChannel[]> views_;
    std::size_t count_ = 0;
};

} // namespace sorvik::detail

#endif
