#include "filter/engine.h"

#include "filter/aggregation.h"
#include "filter/frame_matching.h"
#include "filter/group.h"
#include "filter/matching.h"
#include "filter/profile.h"
#include "filter/reference_grid.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace sorvik::detail {

namespace {

// One thread's scratch. Scratch 0 is the calling thread, which transforms with
// the workspace's own set.
struct ThreadScratch {
    TransformSet own;
    TransformSet* ts = nullptr;
    FftwBuffer<float> lists; // batch * (K distances, K positions, 2L reference floats)
    double ringSeconds = 0, matchSeconds = 0, groupSeconds = 0, inverseSeconds = 0;
    double idleSeconds = 0; // waiting for a task, when profiled
    double bringSeconds = 0, aggregateSeconds = 0, openSeconds = 0;
};

// Busy-waits a little while for the condition to turn false.
template <class Condition>
void spinWhile(Condition condition)
{
    for (int i = 0; i < 4000 && condition(); ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#else
        std::this_thread::yield();
#endif
    }
}

// One reference row of the walk: its batches are numbered over the whole
// call, from firstBatch.
struct RowPlan {
    std::int32_t n = 0;
    std::int32_t slot = 0;          // the ring slot of row n
    std::int32_t references = 0;
    std::int64_t firstBatch = 0;
    std::int32_t batches = 0;
    std::int32_t piecesNeeded = 0;  // ring pieces computed before its batches may start
};

// Consecutive rows of block positions whose spectra are computed together,
// in parts of columns, once their image rows are in the band. They overwrite
// the slots of rows that the batches before `committedNeeded` read.
struct RingPiece {
    std::int32_t first = 0;
    std::int32_t count = 0;
    std::int64_t committedNeeded = 0;
};

class Engine {
public:
    Engine(Workspace& ws, SpectrumRings& rings, const double* window, const SharedChannel* shared,
           std::int32_t sharedCount, const FrameSources* frames)
        : ws_(ws), rings_(rings), window_(window), grid_(ws.g), shared_(shared),
          sharedCount_(sharedCount), channels_(sharedCount + 1), frames_(frames)
    {
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine() { stopHelpers(); }

    // The walk's plan, scratch for up to `wanted` threads (the calling thread
    // included), then the helper threads. Fails only when the calling
    // thread's share cannot be had.
    FilterStatus prepare(std::int32_t wanted);
    // Returns planFailed when a plan made on first use could not be made.
    FilterStatus walk(const FilterOptions& options);

private:
    struct Task {
        enum class Kind { none, open, aggregate, bring, part, batch } kind = Kind::none;
        std::int32_t part = 0; // a ring part, a row to open, or a slice
        std::int64_t batch = 0;
    };

    MatchSlot matchSlot(const ThreadScratch& m, std::int32_t b) const
    {
        const std::size_t K = std::size_t(ws_.g.K), L = std::size_t(ws_.g.L);
        float* base = m.lists.get() + std::size_t(b) * (2 * K + 2 * L);
        return MatchSlot{base, reinterpret_cast<std::int32_t*>(base + K), base + 2 * K};
    }
    std::size_t resultIndex(std::int64_t batch, std::int32_t i) const
    {
        return std::size_t(batch % slots_) * std::size_t(batch_) + std::size_t(i);
    }
    // Channel c's blocks and sum of w^2 for result entry `at`.
    float* resultBlocksOf(std::size_t at, std::int32_t c) const
    {
        const std::size_t area = std::size_t(ws_.g.P) * std::size_t(ws_.g.P);
        return resultBlocks.get() +
               (at * std::size_t(channels_) + std::size_t(c)) * std::size_t(ws_.g.K) * area;
    }
    float& resultSumOf(std::size_t at, std::int32_t c) const
    {
        return resultSums[at * std::size_t(channels_) + std::size_t(c)];
    }
    float* resultWindowOf(std::size_t at, std::int32_t c) const
    {
        const std::size_t area = std::size_t(ws_.g.P) * std::size_t(ws_.g.P);
        return resultWindows.get() + (at * std::size_t(channels_) + std::size_t(c)) * area;
    }
    // The reference row of a batch: the last with firstBatch <= batch (a row
    // without batches shares its firstBatch with the next).
    const RowPlan& rowOf(std::int64_t batch) const
    {
        const RowPlan* begin = rows_.get();
        return *(std::upper_bound(begin, begin + rowCount_, batch,
                                  [](std::int64_t b, const RowPlan& r) { return b < r.firstBatch; }) -
                 1);
    }
    bool batchDone(std::int64_t batch) const
    {
        return slotHolds[std::size_t(batch % slots_)].load(std::memory_order_acquire) == batch + 1;
    }
    void keepAllRowsOpen(std::int32_t begin, std::int32_t end)
    {
        keepRowsOpen(ws_.g, ws_.accumulators, begin, end);
        for (std::int32_t c = 0; c < sharedCount_; ++c)
            keepRowsOpen(shared_[c].ws->g, shared_[c].ws->accumulators, begin, end);
        if (frames_ != nullptr)
            frames_->keepRowsOpen(begin, end);
    }

    bool planWalk();
    bool allocateResults();
    bool planSlices();
    void sliceDone(std::int32_t slice, std::int64_t batch);
    std::int32_t progressDue();
    void startHelpers();
    void stopHelpers();

    Task takeTask();
    void runTask(const Task& task, std::int32_t m);
    void finished();
    void waitForChange(std::unique_lock<std::mutex>& lock);
    void waitForChange(std::unique_lock<std::mutex>& lock, ThreadScratch& scratch);
    void helperLoop(std::int32_t m);

    void bringPiece();
    void ringPart(std::int32_t part, ThreadScratch& scratch);
    void processBatch(std::int64_t number, ThreadScratch& scratch);
    void aggregateSlice(std::int64_t number, std::int32_t slice, ThreadScratch& scratch);

    Workspace& ws_;
    SpectrumRings& rings_;
    const double* window_;
    ReferenceGrid grid_;
    const SharedChannel* shared_;
    std::int32_t sharedCount_;
    std::int32_t channels_; // the walk's own and the shared ones
    const FrameSources* frames_;
    const MatchKernel scanRow_ = chooseMatchKernel();

    std::vector<ThreadScratch> scratch_;
    std::vector<std::thread> helpers_;

    // The plan: every reference row and ring piece, in order.
    std::unique_ptr<RowPlan[]> rows_;
    std::int32_t rowCount_ = 0;
    std::unique_ptr<RingPiece[]> pieces_;
    std::int32_t pieceCount_ = 0;
    std::int64_t batchCount_ = 0;
    std::unique_ptr<Reference[]> columns_; // the references of row 0, slot 0
    std::int32_t parts_ = 1;               // parts of columns of each ring row

    // Batches in flight, each in one of slots_ result slots.
    std::int32_t batch_ = 1;
    std::int32_t slots_ = 1;
    FftwBuffer<float> resultBlocks;                  // slots * batch * channels * K * P^2
    std::unique_ptr<std::int32_t[]> resultPositions; // slots * batch * K
    std::unique_ptr<std::int32_t[]> resultSizes;     // slots * batch
    std::unique_ptr<float[]> resultSums;             // slots * batch * channels
    FftwBuffer<float> resultWindows;                 // slots * batch * channels * P^2
    std::unique_ptr<Reference[]> resultReferences;   // slots * batch
    std::unique_ptr<std::atomic<std::int64_t>[]> slotHolds; // batch number + 1 once complete

    // The hand-out of tasks, under mutex_. Every change that may make a task
    // available or complete a batch bumps version_ and wakes the waiters.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> version_{0};
    bool quit_ = false;
    // The ring pieces, one after the other: a piece's image rows are brought
    // into the band (one thread), then its parts are computed (any threads).
    enum class RingState { waiting, bringing, computing };
    RingState ringState_ = RingState::waiting;
    std::int32_t piece_ = 0;      // the piece being brought or computed; the ones before are done
    std::int32_t nextPart_ = 0, partsDone_ = 0;
    std::int64_t nextBatch_ = 0;
    std::int32_t nextBatchRow_ = 0; // the row of nextBatch_
    // Aggregation, in slices of the accumulator band's rows (owner_ says
    // whose): each slice takes the batches in order, one at a time, so every
    // pixel receives its sums in traversal order whichever thread adds them.
    // A reference row's rows are opened (and the rows above it closed) once
    // every slice has finished the rows before it, and before any slice
    // starts on it.
    std::int32_t sliceCount_ = 1;
    std::unique_ptr<std::uint8_t[]> owner_;          // accumulatorRows, with several slices
    std::unique_ptr<std::uint8_t[]> ownerRun_;       // accumulatorRows
    std::unique_ptr<std::int64_t[]> slicesDone_;     // batches each slice has finished
    std::unique_ptr<bool[]> sliceBusy_;
    std::int32_t opened_ = 0;         // reference rows opened
    bool opening_ = false;
    std::int64_t openedEnd_ = 0;      // the batches before it may be aggregated
    // Batches that every slice has aggregated.
    std::atomic<std::int64_t> committed_{0};
    // Progress: the reference rows whose block rows are all reported.
    std::int32_t reportRow_ = 0;
    // A plan of a group length could not be made: no further task is handed
    // out, and the walk stops.
    std::atomic<bool> planFailed_{false};
};

// Reference rows and ring pieces in the order of the walk. The rows between
// two reference rows only add their spectra to the rings, which the next
// reference row needs; so they are computed together, before the next
// reference row, in pieces of at most as many rows as the image band holds.
// A piece may overwrite the slots of earlier rows once every reference row
// whose search area reaches them has been aggregated.
bool Engine::planWalk()
{
    const Geometry& g = ws_.g;
    rows_ = allocateTable<RowPlan>(std::size_t(g.blockRows));
    pieces_ = allocateTable<RingPiece>(std::size_t(g.blockRows));
    columns_ = allocateTable<Reference>(std::size_t(g.blockCols));
    if (!rows_ || !pieces_ || !columns_)
        return false;
    const std::int32_t perRow = grid_.rowReferences(0, 0, columns_.get());
    const std::int32_t batchesPerRow = (perRow + batch_ - 1) / batch_;

    // The first reference row's search area too: its rows are pieces like any
    // other, computed in parts on every thread.
    std::int32_t nextRingRow = 0;
    for (std::int32_t n = 0; n < g.blockRows; ++n) {
        if (!grid_.isReferenceRow(n))
            continue;
        const std::int32_t last = std::min(n + g.R, g.blockRows - 1);
        while (nextRingRow <= last) {
            RingPiece& piece = pieces_[std::size_t(pieceCount_++)];
            piece.first = nextRingRow;
            piece.count = std::min({ws_.band.blockRows, g.ringSlots, last - nextRingRow + 1});
            nextRingRow += piece.count;
        }
        RowPlan& row = rows_[std::size_t(rowCount_++)];
        row.n = n;
        row.slot = n % g.ringSlots;
        row.references = perRow;
        row.firstBatch = batchCount_;
        row.batches = batchesPerRow;
        row.piecesNeeded = pieceCount_;
        batchCount_ += batchesPerRow;
    }
    // The rows whose slots a piece takes over, first + count - 1 - ringSlots
    // at most, are read by the reference rows whose search areas begin there
    // or above.
    std::int32_t reader = 0;
    for (std::int32_t p = 0; p < pieceCount_; ++p) {
        RingPiece& piece = pieces_[std::size_t(p)];
        const std::int32_t lastOverwritten = piece.first + piece.count - 1 - g.ringSlots;
        while (reader < rowCount_ && rows_[std::size_t(reader)].n - g.R <= lastOverwritten)
            ++reader;
        piece.committedNeeded = reader < rowCount_ ? rows_[std::size_t(reader)].firstBatch : batchCount_;
    }
    return true;
}

FilterStatus Engine::prepare(std::int32_t wanted)
{
    const Geometry& g = ws_.g;
    const std::size_t K = std::size_t(g.K), L = std::size_t(g.L);

    // Threads no longer wait at the end of a row, so they take batches as
    // large as one thread does, which share more of their search areas'
    // spectra in cache.
    batch_ = batchReferences(g.K, g.P, channels_);
    if (!planWalk())
        return FilterStatus::outOfMemory;
    scratch_.reserve(std::size_t(wanted));
    const std::size_t listFloats = std::size_t(batch_) * (2 * K + 2 * L);
    scratch_.emplace_back();
    scratch_[0].ts = &ws_.transforms;
    scratch_[0].lists = allocateFftw<float>(listFloats);
    if (!scratch_[0].lists)
        return FilterStatus::outOfMemory;
    while (std::int32_t(scratch_.size()) < wanted) {
        ThreadScratch& m = scratch_.emplace_back();
        m.lists = allocateFftw<float>(listFloats);
        if (!m.lists || m.own.allocate(g) != FilterStatus::ok ||
            m.own.makePlans(g) != FilterStatus::ok) {
            scratch_.pop_back();
            break;
        }
        m.ts = &m.own;
    }
    if (!allocateResults()) {
        if (scratch_.size() == 1)
            return FilterStatus::outOfMemory;
        // Less room for results in flight: the calling thread alone needs one slot.
        scratch_.resize(1);
        if (!allocateResults())
            return FilterStatus::outOfMemory;
    }
    if (!planSlices())
        return FilterStatus::outOfMemory;
    // Set before any helper starts: they read it. Helpers that fail to start
    // leave their parts to the others.
    parts_ = scratch_.size() > 1 ? std::min(g.blockCols, 2 * std::int32_t(scratch_.size())) : 1;
    startHelpers();
    return FilterStatus::ok;
}

// Every thread may hold two batches in flight while the aggregation catches
// up, so threads seldom wait for a slot; alone, the calling thread aggregates
// each batch as soon as it has computed it.
bool Engine::allocateResults()
{
    const Geometry& g = ws_.g;
    const std::size_t K = std::size_t(g.K), area = std::size_t(g.P) * g.P;
    const std::int32_t count = std::int32_t(scratch_.size());
    slots_ = count > 1 ? 2 * count + 2 : 1;
    const std::size_t entries = std::size_t(slots_) * std::size_t(batch_);
    const std::size_t channelEntries = entries * std::size_t(channels_);
    // One slot of one batch fits (the entry checked it); many of them, each
    // K blocks for every channel, may not fit a 32-bit size_t.
    const auto maxFloats = std::uint64_t(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(float);
    if (std::uint64_t(channelEntries) > maxFloats / (std::uint64_t(K + 1) * area))
        return false;
    resultBlocks = allocateFftw<float>(channelEntries * K * area);
    resultWindows = allocateFftw<float>(channelEntries * area);
    resultPositions = allocateTable<std::int32_t>(entries * K);
    resultSizes = allocateTable<std::int32_t>(entries);
    resultSums = allocateTable<float>(channelEntries);
    resultReferences = allocateTable<Reference>(entries);
    slotHolds = allocateTable<std::atomic<std::int64_t>>(std::size_t(slots_));
    if (!resultBlocks || !resultPositions || !resultSizes || !resultSums || !resultWindows ||
        !resultReferences || !slotHolds)
        return false;
    for (std::int32_t s = 0; s < slots_; ++s)
        slotHolds[std::size_t(s)].store(0);
    return true;
}

// Slices of the accumulator band, in strips of sliceRows band rows taken in
// turn: a block spans two or three strips, so over a group's members each
// slice takes a like share, while a member's rows of one slice stay together.
// Splitting costs work: every slice passes over every member, and reads the
// blocks another thread wrote. On two threads, two slices took 0.32-0.34 s
// of aggregation at 1024 x 1024 where one took 0.18 s, and one slice's
// ordered share (8-9 % of the walk's work) runs beside the other thread's
// batches anyway. So a slice is added for every threadsPerSlice threads,
// which keeps each slice's ordered share under a thread's share of the work:
// four slices put it near 2.5 % on 16 threads, under half of what each does.
// All accumulators of a walk have the same band (one geometry but sigma);
// alone, the calling thread takes each batch whole.
bool Engine::planSlices()
{
    constexpr std::int32_t maxSlices = 4, sliceRows = 4, threadsPerSlice = 4;
    const std::int32_t rows = ws_.accumulators.accumulatorRows;
    bool sameBand = rows > 0;
    for (std::int32_t c = 0; c < sharedCount_; ++c)
        sameBand = sameBand && shared_[c].ws->accumulators.accumulatorRows == rows;
    for (std::int32_t i = 0; frames_ != nullptr && i < frames_->count * frames_->channels; ++i)
        sameBand = sameBand && frames_->accumulators[i]->accumulatorRows == rows;
    const std::int32_t threads = std::int32_t(scratch_.size());
    sliceCount_ =
        sameBand ? std::min((threads + threadsPerSlice - 1) / threadsPerSlice, maxSlices) : 1;
    if (sliceCount_ > 1) {
        owner_ = allocateTable<std::uint8_t>(std::size_t(rows));
        ownerRun_ = allocateTable<std::uint8_t>(std::size_t(rows));
        if (!owner_ || !ownerRun_)
            sliceCount_ = 1;
        for (std::int32_t b = 0; b < rows && sliceCount_ > 1; ++b)
            owner_[std::size_t(b)] = std::uint8_t(b / sliceRows % sliceCount_);
        for (std::int32_t b = rows - 1; b >= 0 && sliceCount_ > 1; --b) {
            const bool last = b + 1 == rows || owner_[std::size_t(b + 1)] != owner_[std::size_t(b)];
            ownerRun_[std::size_t(b)] = std::uint8_t(last ? 1 : ownerRun_[std::size_t(b + 1)] + 1);
        }
    }
    slicesDone_ = allocateTable<std::int64_t>(std::size_t(sliceCount_));
    sliceBusy_ = allocateTable<bool>(std::size_t(sliceCount_));
    if (!slicesDone_ || !sliceBusy_)
        return false;
    for (std::int32_t s = 0; s < sliceCount_; ++s) {
        slicesDone_[std::size_t(s)] = 0;
        sliceBusy_[std::size_t(s)] = false;
    }
    return true;
}

// A helper that cannot be started leaves its share to the others; the result
// slots made for it stay unused.
void Engine::startHelpers()
{
    const std::int32_t count = std::int32_t(scratch_.size());
    helpers_.reserve(std::size_t(count - 1));
    for (std::int32_t m = 1; m < count; ++m) {
        if (injectThreadStartFailure())
            break;
        try {
            helpers_.emplace_back(&Engine::helperLoop, this, m);
        } catch (const std::system_error&) {
            break;
        }
    }
    scratch_.resize(helpers_.size() + 1);
}

void Engine::stopHelpers()
{
    if (helpers_.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        ++version_;
    }
    changed_.notify_all();
    for (std::thread& t : helpers_)
        t.join();
    helpers_.clear();
}

// The next task, with mutex_ held: first the aggregation, which frees the
// result slots and the ring slots that the rest waits for (the slice furthest
// behind first, then the opening of the next reference row's rows); then the
// ring, so that the next reference row's spectra are ready before its batches
// are wanted; then the next batch, once its row's spectra are in the rings
// and a result slot is free.
Engine::Task Engine::takeTask()
{
    Task task;
    if (planFailed_.load(std::memory_order_relaxed))
        return task;
    const std::int64_t committed = committed_.load(std::memory_order_relaxed);
    std::int32_t behind = -1;
    for (std::int32_t s = 0; s < sliceCount_; ++s) {
        const std::int64_t next = slicesDone_[std::size_t(s)];
        if (!sliceBusy_[std::size_t(s)] && next < openedEnd_ && batchDone(next) &&
            (behind < 0 || next < slicesDone_[std::size_t(behind)]))
            behind = s;
    }
    if (behind >= 0) {
        sliceBusy_[std::size_t(behind)] = true;
        task.kind = Task::Kind::aggregate;
        task.part = behind;
        task.batch = slicesDone_[std::size_t(behind)];
        return task;
    }
    if (!opening_ && opened_ < rowCount_ && committed == rows_[std::size_t(opened_)].firstBatch) {
        opening_ = true;
        task.kind = Task::Kind::open;
        task.part = opened_;
        return task;
    }
    if (piece_ < pieceCount_) {
        if (ringState_ == RingState::waiting &&
            committed >= pieces_[std::size_t(piece_)].committedNeeded) {
            ringState_ = RingState::bringing;
            task.kind = Task::Kind::bring;
            return task;
        }
        if (ringState_ == RingState::computing &&
            nextPart_ < pieces_[std::size_t(piece_)].count * parts_) {
            task.kind = Task::Kind::part;
            task.part = nextPart_++;
            return task;
        }
    }
    if (nextBatch_ < batchCount_ && nextBatch_ < committed + slots_) {
        while (nextBatch_ >= rows_[std::size_t(nextBatchRow_)].firstBatch +
                                rows_[std::size_t(nextBatchRow_)].batches)
            ++nextBatchRow_;
        if (piece_ >= rows_[std::size_t(nextBatchRow_)].piecesNeeded) {
            task.kind = Task::Kind::batch;
            task.batch = nextBatch_++;
        }
    }
    return task;
}

// With mutex_ held: the slice has finished the batch.
void Engine::sliceDone(std::int32_t slice, std::int64_t batch)
{
    slicesDone_[std::size_t(slice)] = batch + 1;
    sliceBusy_[std::size_t(slice)] = false;
    std::int64_t committed = batch + 1;
    for (std::int32_t s = 0; s < sliceCount_; ++s)
        committed = std::min(committed, slicesDone_[std::size_t(s)]);
    committed_.store(committed, std::memory_order_relaxed);
}

void Engine::runTask(const Task& task, std::int32_t m)
{
    ThreadScratch& scratch = scratch_[std::size_t(m)];
    switch (task.kind) {
    case Task::Kind::open:
        {
            const RowPlan& plan = rows_[std::size_t(task.part)];
            StageClock clock(ws_.profile != nullptr);
            if (plan.batches > 0)
                keepAllRowsOpen(plan.n - ws_.g.R, plan.n + ws_.g.R + ws_.g.P);
            clock.lap(scratch.openSeconds);
            std::lock_guard<std::mutex> lock(mutex_);
            opened_ = task.part + 1;
            openedEnd_ = plan.firstBatch + plan.batches;
            opening_ = false;
            ++version_;
        }
        break;
    case Task::Kind::aggregate:
        {
            StageClock clock(ws_.profile != nullptr);
            aggregateSlice(task.batch, task.part, scratch);
            clock.lap(scratch.aggregateSeconds);
            std::lock_guard<std::mutex> lock(mutex_);
            sliceDone(task.part, task.batch);
            ++version_;
        }
        break;
    case Task::Kind::bring:
        {
            StageClock clock(ws_.profile != nullptr);
            bringPiece();
            clock.lap(scratch.bringSeconds);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ringState_ = RingState::computing;
            nextPart_ = 0;
            partsDone_ = 0;
            ++version_;
        }
        break;
    case Task::Kind::part:
        ringPart(task.part, scratch);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (++partsDone_ == pieces_[std::size_t(piece_)].count * parts_) {
                ++piece_;
                ringState_ = RingState::waiting;
            }
            ++version_;
        }
        break;
    case Task::Kind::batch:
        processBatch(task.batch, scratch);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++version_;
        }
        break;
    case Task::Kind::none: return;
    }
    changed_.notify_all();
}

// Tasks are short (a ring part or a batch takes tens to hundreds of
// microseconds), and putting a thread to sleep and waking it costs about as
// much; so a thread that waits first spins a little while, then sleeps.
void Engine::waitForChange(std::unique_lock<std::mutex>& lock)
{
    const std::uint64_t seen = version_.load(std::memory_order_relaxed);
    lock.unlock();
    spinWhile([&] { return version_.load(std::memory_order_acquire) == seen; });
    lock.lock();
    changed_.wait(lock, [&] { return version_.load(std::memory_order_relaxed) != seen; });
}

// The same, with the wait counted as the thread's idle time when profiled.
void Engine::waitForChange(std::unique_lock<std::mutex>& lock, ThreadScratch& scratch)
{
    StageClock clock(ws_.profile != nullptr);
    waitForChange(lock);
    clock.lap(scratch.idleSeconds);
}

void Engine::helperLoop(std::int32_t m)
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        const Task task = takeTask();
        if (task.kind == Task::Kind::none) {
            waitForChange(lock, scratch_[std::size_t(m)]);
            continue;
        }
        lock.unlock();
        runTask(task, m);
        lock.lock();
    }
}

void Engine::bringPiece()
{
    const RingPiece& piece = pieces_[std::size_t(piece_)];
    const std::int32_t last = piece.first + piece.count - 1;
    rings_.bringRows(piece.first, last);
    for (std::int32_t c = 0; c < sharedCount_; ++c)
        shared_[c].rings->bringRows(piece.first, last);
    if (frames_ != nullptr)
        frames_->bringRows(piece.first, last);
}

void Engine::ringPart(std::int32_t job, ThreadScratch& scratch)
{
    StageClock clock(ws_.profile != nullptr);
    const RingPiece& piece = pieces_[std::size_t(piece_)];
    const std::int32_t columns = ws_.g.blockCols;
    const std::int32_t part = job % parts_;
    const std::int32_t row = piece.first + job / parts_;
    const std::int32_t begin = std::int32_t(std::int64_t{columns} * part / parts_);
    const std::int32_t end = std::int32_t(std::int64_t{columns} * (part + 1) / parts_);
    rings_.computeColumns(row, begin, end, *scratch.ts);
    for (std::int32_t c = 0; c < sharedCount_; ++c)
        shared_[c].rings->computeColumns(row, begin, end, *scratch.ts);
    if (frames_ != nullptr)
        frames_->computeColumns(row, begin, end, *scratch.ts);
    clock.lap(scratch.ringSeconds);
}

void Engine::processBatch(std::int64_t number, ThreadScratch& scratch)
{
    const std::int32_t K = ws_.g.K;
    const RowPlan& row = rowOf(number);
    const std::int32_t first = std::int32_t(number - row.firstBatch) * batch_;
    const std::int32_t count = std::min(batch_, row.references - first);
    Reference* refs = resultReferences.get() + resultIndex(number, 0);
    for (std::int32_t b = 0; b < count; ++b) {
        refs[b] = columns_[std::size_t(first + b)];
        grid_.moveToRow(refs[b], row.n, row.slot);
    }

    StageClock clock(ws_.profile != nullptr);
    MatchSlot slots[matchBatch];
    std::int32_t groupSizes[matchBatch];
    if (!planFailed_.load(std::memory_order_relaxed)) {
        for (std::int32_t b = 0; b < count; ++b)
            slots[b] = matchSlot(scratch, b);
        matchReferences(ws_.g, ws_.rings, scanRow_, refs, count, slots, groupSizes);
        if (frames_ != nullptr)
            matchInFrames(ws_.g, ws_.rings, scanRow_, refs, count, slots, groupSizes, *frames_);
        // The thresholding stage's transform along the group takes powers of two.
        for (std::int32_t b = 0; b < count && ws_.g.thresholds; ++b)
            groupSizes[b] = haarGroupSize(groupSizes[b]);
        clock.lap(scratch.matchSeconds);
    }

    for (std::int32_t b = 0; b < count && !planFailed_.load(std::memory_order_relaxed); ++b) {
        const GroupMembers group{slots[b].positions, groupSizes[b]};
        if (!ws_.g.thresholds && !scratch.ts->planGroupLength(group.k)) {
            planFailed_.store(true, std::memory_order_relaxed);
            break;
        }
        if (b + 1 < count)
            prefetchGroup(ws_.g, ws_.rings, GroupMembers{slots[b + 1].positions, groupSizes[b + 1]});
        const std::size_t at = resultIndex(number, b);
        for (std::int32_t c = 0; c < channels_; ++c) {
            const Workspace& channel = c == 0 ? ws_ : *shared_[c - 1].ws;
            if (channel.g.thresholds) {
                resultSumOf(at, c) = thresholdGroup(channel.g, channel.rings, *scratch.ts, group,
                                                    resultBlocksOf(at, c));
                clock.lap(scratch.groupSeconds);
            } else {
                resultSumOf(at, c) = filterGroupSpectra(channel.g, channel.rings, *scratch.ts, group);
                clock.lap(scratch.groupSeconds);
                invertBlocks(channel.g, *scratch.ts, group.k, resultBlocksOf(at, c));
            }
            // The group's weights, here where any thread forms them, rather
            // than once for every slice that adds the group.
            weightWindow(ws_.g.P, resultSumOf(at, c), window_, resultWindowOf(at, c));
            clock.lap(scratch.inverseSeconds);
        }
        std::memcpy(resultPositions.get() + at * std::size_t(K), group.positions,
                    std::size_t(K) * sizeof(std::int32_t));
        resultSizes[at] = group.k;
    }
    slotHolds[std::size_t(number % slots_)].store(number + 1, std::memory_order_release);
}

// Slice `slice` of a batch's groups, in order, into every channel's (and
// frame's) accumulators.
void Engine::aggregateSlice(std::int64_t number, std::int32_t slice, ThreadScratch& scratch)
{
    const std::int32_t K = ws_.g.K;
    CallProfile* profile = ws_.profile;
    StageClock clock(profile != nullptr);
    // The batch's producer set the flag before it published the batch.
    if (planFailed_.load(std::memory_order_relaxed))
        return;
    const BandSlice rows = sliceCount_ > 1 ? BandSlice{owner_.get(), ownerRun_.get(), slice}
                                           : BandSlice{};
    const RowPlan& row = rowOf(number);
    const std::int32_t first = std::int32_t(number - row.firstBatch) * batch_;
    const std::int32_t count = std::min(batch_, row.references - first);
    for (std::int32_t b = 0; b < count; ++b) {
        const std::size_t at = resultIndex(number, b);
        const GroupMembers group{resultPositions.get() + at * std::size_t(K), resultSizes[at]};
        const Reference& ref = resultReferences[at];
        for (std::int32_t c = 0; c < channels_; ++c) {
            Workspace& channel = c == 0 ? ws_ : *shared_[c - 1].ws;
            if (frames_ != nullptr)
                frames_->aggregate(channel.g, channel.accumulators, c, ref, group,
                                   resultWindowOf(at, c), resultBlocksOf(at, c), rows);
            else
                aggregateGroup(channel.g, channel.accumulators, ref, group, resultWindowOf(at, c),
                               resultBlocksOf(at, c), 0, rows);
        }
        // Slice 0 takes the batches in order, one at a time, like the sums.
        if (profile != nullptr && slice == 0)
            countReference(*profile, ref.searchRowEnd - ref.searchRowBegin,
                           ref.searchColEnd - ref.searchColBegin, group.k);
    }
    clock.lap(scratch.inverseSeconds);
}

// Which block rows are done, with mutex_ held: those before a reference row
// once it is opened, and the reference row itself once every slice has
// aggregated its batches.
std::int32_t Engine::progressDue()
{
    std::int32_t due = 0;
    const std::int64_t committed = committed_.load(std::memory_order_relaxed);
    for (; reportRow_ < rowCount_; ++reportRow_) {
        const RowPlan& plan = rows_[std::size_t(reportRow_)];
        if (opened_ > reportRow_)
            due = plan.n;
        if (committed < plan.firstBatch + plan.batches)
            return due;
        due = plan.n + 1;
    }
    return due;
}

// Every thread, the calling one included, takes the tasks in the same loop;
// the calling thread alone reports progress, outside the lock.
FilterStatus Engine::walk(const FilterOptions& options)
{
    const Geometry& g = ws_.g;
    std::int32_t reported = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    StageClock walkClock(ws_.profile != nullptr);
    while (!planFailed_.load(std::memory_order_relaxed)) {
        const std::int32_t due = progressDue();
        if (due > reported && options.progress != nullptr) {
            lock.unlock();
            for (; reported < due; ++reported)
                options.progress(options.progressContext, reported + 1, g.blockRows);
            lock.lock();
            // The others went on meanwhile: look again before taking a task
            // or waiting for a change that may have come already.
            continue;
        }
        reported = std::max(reported, due);
        if (reportRow_ == rowCount_)
            break;
        const Task task = takeTask();
        if (task.kind == Task::Kind::none) {
            waitForChange(lock, scratch_[0]);
            continue;
        }
        lock.unlock();
        runTask(task, 0);
        lock.lock();
    }
    lock.unlock();

    double walkSeconds = 0;
    walkClock.lap(walkSeconds);
    stopHelpers();
    keepAllRowsOpen(g.M, g.M);
    if (CallProfile* profile = ws_.profile) {
        profile->walkSeconds += walkSeconds;
        profile->idleSeconds.resize(std::max(profile->idleSeconds.size(), scratch_.size()), 0.0);
        for (std::size_t t = 0; t < scratch_.size(); ++t) {
            profile->idleSeconds[t] += scratch_[t].idleSeconds;
            profile->bringSeconds += scratch_[t].bringSeconds;
            profile->aggregateSeconds += scratch_[t].aggregateSeconds;
            profile->openSeconds += scratch_[t].openSeconds;
        }
        profile->slices = std::max(profile->slices, sliceCount_);
        for (const ThreadScratch& m : scratch_) {
            profile->ringSeconds += m.ringSeconds;
            profile->matchSeconds += m.matchSeconds;
            profile->groupSeconds += m.groupSeconds;
            profile->inverseSeconds += m.inverseSeconds;
        }
    }
    return planFailed_.load(std::memory_order_relaxed) ? FilterStatus::planFailed : FilterStatus::ok;
}

} // namespace

FilterStatus walkReferences(Workspace& ws, SpectrumRings& rings, const double* window,
                            const FilterOptions& options, const SharedChannel* shared,
                            std::int32_t sharedCount, const FrameSources* frames)
{
    if (ws.g.blockRows <= 0)
        return FilterStatus::ok;
    Engine engine(ws, rings, window, shared, sharedCount, frames);
    try {
        const FilterStatus ready = engine.prepare(std::clamp(options.threads, 1, 64));
        if (ready != FilterStatus::ok)
            return ready;
    } catch (const std::bad_alloc&) {
        return FilterStatus::outOfMemory;
    }
    return engine.walk(options);
}

} // namespace sorvik::detail
