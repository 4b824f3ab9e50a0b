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
// and each block goes back into its own frame. A call walks the references of
// one frame and leaves, for every frame of its window, the sums its groups
// added there; a frame's estimate is the sum of the numerators of the calls
// that reach it divided by the sum of their weights, which the caller forms
// (denoise/stack.cpp) in a fixed order.
#ifndef SORVIK_FRAMES_H
#define SORVIK_FRAMES_H

#include "filter/grouped_threshold.h"
#include <sorvik/sorvik.h>

#include <cstdint>

namespace sorvik {

// The frames a call reads: frames[f] is frame f's channelCount channels (the
// layout and checks of runFilterChannels, whose estimate and sigma are not
// read but for frames[own], whose references are walked). Frames must be in
// their order in the sequence. sums[2 (f channelCount + c)] and the entry
// after it receive the numerator and the weight sums that frame f, channel
// c, gets from this call (rows x cols floats each, column-major, written
// whole). A window of one frame writes runFilterChannels' estimate and
// weights of 1.
struct FrameWindow {
    const Channel* const* frames = nullptr;
    int count = 0;
    int own = 0;
    std::int32_t predictiveRadius = 4; // >= 0
    float* const* sums = nullptr;
};

// The most frames a window may hold.
constexpr int maxWindowFrames = 33;

// The most bytes one call of runFilterFrames or runThresholdFrames with a
// window of `windowFrames` frames allocates beyond the arrays the caller
// passes, on `threads` threads: filterMemoryBound's buffers, with rings that
// hold every frame of the window, and each neighbouring frame's image band
// and accumulators, for every channel. The largest value for what those
// calls refuse.
std::uint64_t framesMemoryBound(const FilterParams& params, int windowFrames, int channels,
                                int threads);

// runFilterChannels on the references of frames.frames[frames.own] with
// candidates from the whole window. Any thread count gives the same bits. invalidParameters for what
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
