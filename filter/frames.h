// sorvik frames: both stages of the filter on one frame of a sequence (video,
// time-lapse, z-stack), with groups drawn from the frames around it too.
//
// A reference block of the frame filtered is matched in its own frame as in
// runFilterChannels, then in the frames after it, nearest first, and in the
// frames before it, nearest first. In each of those frames the search is
// centred where the best match was found in the frame next to it towards the
// frame filtered (the reference itself for the nearest ones), so moving
// content is followed, and reaches predictiveRadius block positions around
// that centre (within the rows of the reference's own search area). The group
// takes the closest blocks of all those frames; it is filtered as a whole,
// and its blocks of the frame filtered are aggregated into that frame. The
// other frames' blocks serve the group only: each frame gets its own call.
#ifndef SORVIK_FRAMES_H
#define SORVIK_FRAMES_H

#include "filter/grouped_threshold.h"
#include <sorvik/sorvik.h>

#include <cstdint>

namespace sorvik {

// The frames a call reads: frames[f] is frame f's channelCount channels (the
// layout and checks of runFilterChannels); frames[own] is the frame
// filtered, whose estimates are written. The estimates of the other frames
// are not read nor written. Frames must be in their order in the sequence.
struct FrameWindow {
    const Channel* const* frames = nullptr;
    int count = 0;
    int own = 0;
    std::int32_t predictiveRadius = 4; // >= 0
};

// The most frames a window may hold.
constexpr int maxWindowFrames = 33;

// runFilterChannels on frames.frames[frames.own] with candidates from the
// whole window. A window of one frame gives runFilterChannels' bits; any
// thread count gives the same bits. invalidParameters for what
// runFilterChannels refuses in any frame, a count outside 1 ..
// maxWindowFrames, own outside it, or a negative predictive radius.
FilterStatus runFilterFrames(const FilterParams& params, const FrameWindow& frames,
                             int channelCount, const double* window,
                             const FilterOptions& options = {});

// The same for the grouped thresholding stage (runThresholdChannels).
FilterStatus runThresholdFrames(const ThresholdParams& params, const FrameWindow& frames,
                                int channelCount, const double* window,
                                const FilterOptions& options = {});

} // namespace sorvik

#endif
