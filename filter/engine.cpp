#include "filter/engine.h"

#include "filter/aggregation.h"
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

// One thread's scratch. Member 0 is the calling thread, which transforms with
// the workspace's own set.
struct Member {
    TransformSet own;
    TransformSet* ts = nullptr;
    FftwBuffer<float> lists; // batch * (K distances, K positions, 2L reference floats)
    double ringSeconds = 0, matchSeconds = 0, groupSeconds = 0, inverseSeconds = 0;
};

// Phases are short (one row's spectra take tens of microseconds), and
// putting a thread to sleep and waking it costs about as much; so a thread
// that waits first spins a little while, then sleeps.
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

class Engine {
public:
    Engine(Workspace& ws, SpectrumRings& rings, const double* window, const SharedChannel* shared,
           std::int32_t sharedCount)
        : ws_(ws), rings_(rings), window_(window), grid_(ws.g), shared_(shared),
          sharedCount_(sharedCount), channels_(sharedCount + 1)
    {
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine() { stopHelpers(); }

    // Scratch for up to `wanted` members (the calling thread included), then
    // the helper threads. Fails only when the calling thread's share cannot
    // be had.
    FilterStatus prepare(std::int32_t wanted);
    // Returns planFailed when a plan made on first use could not be made.
    FilterStatus walk(const FilterOptions& options);

private:
    enum class Phase { ring, batches, quit };

    MatchSlot matchSlot(const Member& m, std::int32_t b) const
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
    void keepAllRowsOpen(std::int32_t begin, std::int32_t end)
    {
        keepRowsOpen(ws_.g, ws_.accumulators, begin, end);
        for (std::int32_t c = 0; c < sharedCount_; ++c)
            keepRowsOpen(shared_[c].ws->g, shared_[c].ws->accumulators, begin, end);
    }

    bool allocateResults();
    void startHelpers();
    void helperLoop(std::int32_t m);
    void runPhase(Phase phase);
    void doPhase(Phase phase, std::int32_t m);
    void ringPart(std::int32_t m);
    void batchesAsHelper(std::int32_t m);
    void batchesAsLeader();
    void processBatch(std::int32_t j, Member& member);
    void aggregateBatch(std::int32_t j);
    void stopHelpers();

    Workspace& ws_;
    SpectrumRings& rings_;
    const double* window_;
    ReferenceGrid grid_;
    const SharedChannel* shared_;
    std::int32_t sharedCount_;
    std::int32_t channels_; // the walk's own and the shared ones
    const MatchKernel scanRow_ = chooseMatchKernel();

    std::vector<Member> members_;
    std::vector<std::thread> helpers_;

    // Batches in flight, each in one of slots_ result slots.
    std::int32_t batch_ = 1;
    std::int32_t slots_ = 1;
    FftwBuffer<float> resultBlocks;                  // slots * batch * channels * K * P^2
    std::unique_ptr<std::int32_t[]> resultPositions; // slots * batch * K
    std::unique_ptr<std::int32_t[]> resultSizes;     // slots * batch
    std::unique_ptr<float[]> resultSums;             // slots * batch * channels
    std::unique_ptr<std::atomic<std::int64_t>[]> slotHolds; // batch number + 1 once complete
    std::unique_ptr<Reference[]> references;         // a row's references

    // Phase hand-out.
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    Phase phase_ = Phase::ring;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::int32_t> busy_{0};

    // Ring phase: rows ringFirst_ .. ringFirst_ + ringCount_ - 1, each in
    // parts_ runs of columns.
    std::int32_t ringFirst_ = 0;
    std::int32_t ringCount_ = 0;
    std::int32_t parts_ = 0;
    std::atomic<std::int32_t> nextPart_{0};

    // Batch phase: a row's references in batches, numbered from rowFirst_
    // over the whole call so that a slot's holder is never ambiguous.
    std::int32_t referenceCount_ = 0;
    std::int32_t batches_ = 0;
    std::int64_t rowFirst_ = 0;
    std::atomic<std::int32_t> nextBatch_{0};
    std::atomic<std::int32_t> committed_{0};
    // A plan of a group length could not be made: the remaining batches are
    // passed over and the walk stops after the row.
    std::atomic<bool> planFailed_{false};
    std::mutex slotMutex_;
    std::condition_variable slotFreed_, batchReady_;
};

FilterStatus Engine::prepare(std::int32_t wanted)
{
    const Geometry& g = ws_.g;
    const std::size_t K = std::size_t(g.K), L = std::size_t(g.L), area = std::size_t(g.P) * g.P;

    // A batch's results are K blocks per reference; keep a slot near 64k
    // floats. With helpers, batches of eight balance the threads' shares of a
    // row better than sixteen, at a small cost in cache reuse.
    const std::size_t most = wanted > 1 ? 8 : std::size_t(matchBatch);
    batch_ = std::int32_t(
        std::clamp<std::size_t>(65536 / (std::size_t(channels_) * K * area), 1, most));
    references = allocateTable<Reference>(std::size_t(g.blockCols));
    if (!references)
        return FilterStatus::outOfMemory;
    members_.reserve(std::size_t(wanted));
    const std::size_t listFloats = std::size_t(batch_) * (2 * K + 2 * L);
    members_.emplace_back();
    members_[0].ts = &ws_.transforms;
    members_[0].lists = allocateFftw<float>(listFloats);
    if (!members_[0].lists)
        return FilterStatus::outOfMemory;
    while (std::int32_t(members_.size()) < wanted) {
        Member& m = members_.emplace_back();
        m.lists = allocateFftw<float>(listFloats);
        if (!m.lists || m.own.allocate(g) != FilterStatus::ok ||
            m.own.makePlans(g) != FilterStatus::ok) {
            members_.pop_back();
            break;
        }
        m.ts = &m.own;
    }
    if (!allocateResults()) {
        if (members_.size() == 1)
            return FilterStatus::outOfMemory;
        // Less room for results in flight: the calling thread alone needs one slot.
        members_.resize(1);
        if (!allocateResults())
            return FilterStatus::outOfMemory;
    }
    startHelpers();
    return FilterStatus::ok;
}

// Every member may hold two batches in flight while the calling thread
// aggregates, so the helpers seldom wait for a slot; alone, the calling thread
// aggregates each batch as soon as it has computed it.
bool Engine::allocateResults()
{
    const Geometry& g = ws_.g;
    const std::size_t K = std::size_t(g.K), area = std::size_t(g.P) * g.P;
    const std::int32_t count = std::int32_t(members_.size());
    slots_ = count > 1 ? 2 * count + 2 : 1;
    const std::size_t entries = std::size_t(slots_) * std::size_t(batch_);
    const std::size_t channelEntries = entries * std::size_t(channels_);
    // One slot of one batch fits (the entry checked it); many of them, each
    // K blocks for every channel, may not fit a 32-bit size_t.
    const auto maxFloats = std::uint64_t(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(float);
    if (std::uint64_t(channelEntries) > maxFloats / (std::uint64_t(K) * area))
        return false;
    resultBlocks = allocateFftw<float>(channelEntries * K * area);
    resultPositions = allocateTable<std::int32_t>(entries * K);
    resultSizes = allocateTable<std::int32_t>(entries);
    resultSums = allocateTable<float>(channelEntries);
    slotHolds = allocateTable<std::atomic<std::int64_t>>(std::size_t(slots_));
    if (!resultBlocks || !resultPositions || !resultSizes || !resultSums || !slotHolds)
        return false;
    for (std::int32_t s = 0; s < slots_; ++s)
        slotHolds[std::size_t(s)].store(0);
    return true;
}

// A helper that cannot be started leaves its share to the others; the result
// slots made for it stay unused.
void Engine::startHelpers()
{
    const std::int32_t count = std::int32_t(members_.size());
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
    members_.resize(helpers_.size() + 1);
}

void Engine::stopHelpers()
{
    if (helpers_.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = Phase::quit;
        ++generation_;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_)
        t.join();
    helpers_.clear();
}

void Engine::helperLoop(std::int32_t m)
{
    std::uint64_t seen = 0;
    for (;;) {
        Phase phase;
        spinWhile([&] { return generation_.load(std::memory_order_acquire) == seen; });
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            phase = phase_;
        }
        if (phase == Phase::quit)
            return;
        doPhase(phase, m);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0)
                idle_.notify_all();
        }
    }
}

void Engine::runPhase(Phase phase)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = phase;
        busy_ = std::int32_t(helpers_.size());
        ++generation_;
    }
    wake_.notify_all();
    if (phase == Phase::batches)
        batchesAsLeader();
    else
        doPhase(phase, 0);
    spinWhile([&] { return busy_.load(std::memory_order_acquire) != 0; });
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [&] { return busy_ == 0; });
}

void Engine::doPhase(Phase phase, std::int32_t m)
{
    if (phase == Phase::ring)
        ringPart(m);
    else if (phase == Phase::batches)
        batchesAsHelper(m);
}

void Engine::ringPart(std::int32_t m)
{
    Member& member = members_[std::size_t(m)];
    StageClock clock(ws_.profile != nullptr);
    const std::int32_t columns = ws_.g.blockCols;
    for (std::int32_t job = nextPart_++; job < ringCount_ * parts_; job = nextPart_++) {
        const std::int32_t part = job % parts_;
        const std::int32_t begin = std::int32_t(std::int64_t{columns} * part / parts_);
        const std::int32_t end = std::int32_t(std::int64_t{columns} * (part + 1) / parts_);
        rings_.computeColumns(ringFirst_ + job / parts_, begin, end, *member.ts);
        for (std::int32_t c = 0; c < sharedCount_; ++c)
            shared_[c].rings->computeColumns(ringFirst_ + job / parts_, begin, end, *member.ts);
    }
    clock.lap(member.ringSeconds);
}

void Engine::processBatch(std::int32_t j, Member& member)
{
    const std::int32_t first = j * batch_;
    const std::int32_t count = std::min(batch_, referenceCount_ - first);
    const Reference* refs = references.get() + first;
    const std::int64_t number = rowFirst_ + j;
    const std::int32_t K = ws_.g.K;

    StageClock clock(ws_.profile != nullptr);
    MatchSlot slots[matchBatch];
    std::int32_t groupSizes[matchBatch];
    if (!planFailed_.load(std::memory_order_relaxed)) {
        for (std::int32_t b = 0; b < count; ++b)
            slots[b] = matchSlot(member, b);
        matchReferences(ws_.g, ws_.rings, scanRow_, refs, count, slots, groupSizes);
        clock.lap(member.matchSeconds);
    }

    for (std::int32_t b = 0; b < count && !planFailed_.load(std::memory_order_relaxed); ++b) {
        const GroupMembers group{slots[b].positions, groupSizes[b]};
        if (!member.ts->planGroupLength(group.k)) {
            planFailed_.store(true, std::memory_order_relaxed);
            break;
        }
        if (b + 1 < count)
            prefetchGroup(ws_.g, ws_.rings, GroupMembers{slots[b + 1].positions, groupSizes[b + 1]});
        const std::size_t at = resultIndex(number, b);
        for (std::int32_t c = 0; c < channels_; ++c) {
            const Workspace& channel = c == 0 ? ws_ : *shared_[c - 1].ws;
            resultSumOf(at, c) = filterGroupSpectra(channel.g, channel.rings, *member.ts, group);
            clock.lap(member.groupSeconds);
            invertBlocks(channel.g, *member.ts, group.k, resultBlocksOf(at, c));
            clock.lap(member.inverseSeconds);
        }
        std::memcpy(resultPositions.get() + at * std::size_t(K), group.positions,
                    std::size_t(K) * sizeof(std::int32_t));
        resultSizes[at] = group.k;
    }

    slotHolds[std::size_t(number % slots_)].store(number + 1, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(slotMutex_);
    }
    batchReady_.notify_one();
}

void Engine::aggregateBatch(std::int32_t j)
{
    const std::int32_t first = j * batch_;
    const std::int32_t count = std::min(batch_, referenceCount_ - first);
    const std::int64_t number = rowFirst_ + j;
    const std::int32_t K = ws_.g.K;
    CallProfile* profile = ws_.profile;
    StageClock clock(profile != nullptr);
    // The batch's producer set the flag before it published the batch.
    if (planFailed_.load(std::memory_order_relaxed))
        return;
    for (std::int32_t b = 0; b < count; ++b) {
        const std::size_t at = resultIndex(number, b);
        const GroupMembers group{resultPositions.get() + at * std::size_t(K), resultSizes[at]};
        const Reference& ref = references[std::size_t(first + b)];
        aggregateGroup(ws_.g, ws_.accumulators, ref, group, resultSumOf(at, 0),
                       resultBlocksOf(at, 0), window_);
        for (std::int32_t c = 1; c < channels_; ++c) {
            Workspace& channel = *shared_[c - 1].ws;
            aggregateGroup(channel.g, channel.accumulators, ref, group, resultSumOf(at, c),
                           resultBlocksOf(at, c), window_);
        }
        if (profile != nullptr)
            countReference(*profile, ref.searchRowEnd - ref.searchRowBegin,
                           ref.searchColEnd - ref.searchColBegin, group.k);
    }
    clock.lap(members_[0].inverseSeconds);
}

// Helpers take batches in turn; a batch may start only when its result slot
// has been aggregated and freed.
void Engine::batchesAsHelper(std::int32_t m)
{
    Member& member = members_[std::size_t(m)];
    for (std::int32_t j = nextBatch_++; j < batches_; j = nextBatch_++) {
        if (j >= committed_.load(std::memory_order_acquire) + slots_) {
            std::unique_lock<std::mutex> lock(slotMutex_);
            slotFreed_.wait(lock, [&] { return j < committed_.load(std::memory_order_acquire) + slots_; });
        }
        processBatch(j, member);
    }
}

// The calling thread aggregates every batch as soon as it is complete, in
// order, and computes batches itself while the next one is not ready.
void Engine::batchesAsLeader()
{
    std::int32_t committed = 0;
    while (committed < batches_) {
        const std::int64_t number = rowFirst_ + committed;
        std::atomic<std::int64_t>& holder = slotHolds[std::size_t(number % slots_)];
        if (holder.load(std::memory_order_acquire) == number + 1) {
            aggregateBatch(committed);
            ++committed;
            {
                std::lock_guard<std::mutex> lock(slotMutex_);
                committed_.store(committed, std::memory_order_release);
            }
            slotFreed_.notify_all();
            continue;
        }
        std::int32_t j = nextBatch_.load();
        if (j < batches_ && j < committed + slots_ && nextBatch_.compare_exchange_strong(j, j + 1)) {
            processBatch(j, members_[0]);
            continue;
        }
        if (j < batches_ && j < committed + slots_)
            continue; // another thread took it first; look again
        spinWhile([&] { return holder.load(std::memory_order_acquire) != number + 1; });
        std::unique_lock<std::mutex> lock(slotMutex_);
        batchReady_.wait(lock, [&] { return holder.load(std::memory_order_acquire) == number + 1; });
    }
}

// The rows between two reference rows only add their spectra to the rings,
// which the next reference row needs and the last one no longer reads; so
// they are computed together, just before the next reference row, in phases
// of at most 2R + 1 consecutive rows, which lie in distinct slots.
FilterStatus Engine::walk(const FilterOptions& options)
{
    const Geometry& g = ws_.g;
    const std::int32_t threads = std::int32_t(members_.size());
    parts_ = threads > 1 ? std::min(g.blockCols, 2 * threads) : 1;

    std::int32_t currentSlot = 0;
    std::int32_t nextRingRow = std::min(g.R, g.blockRows); // the initial fill stored the rows before
    std::int32_t reported = 0;
    for (std::int32_t n = 0; n < g.blockRows; ++n) {
        if (grid_.isReferenceRow(n)) {
            const std::int32_t last = std::min(n + g.R, g.blockRows - 1);
            while (nextRingRow <= last) {
                ringFirst_ = nextRingRow;
                ringCount_ = std::min({ws_.band.blockRows, g.slots, last - nextRingRow + 1});
                rings_.bringRows(ringFirst_, ringFirst_ + ringCount_ - 1);
                for (std::int32_t c = 0; c < sharedCount_; ++c)
                    shared_[c].rings->bringRows(ringFirst_, ringFirst_ + ringCount_ - 1);
                nextPart_ = 0;
                runPhase(Phase::ring);
                nextRingRow += ringCount_;
            }
            for (; reported < n && options.progress != nullptr; ++reported)
                options.progress(options.progressContext, reported + 1, g.blockRows);

            referenceCount_ = grid_.rowReferences(n, currentSlot, references.get());
            if (referenceCount_ > 0) {
                keepAllRowsOpen(n - g.R, n + g.R + g.P);
                batches_ = (referenceCount_ + batch_ - 1) / batch_;
                nextBatch_ = 0;
                committed_ = 0;
                runPhase(Phase::batches);
                rowFirst_ += batches_;
                if (planFailed_.load(std::memory_order_relaxed))
                    break;
            }
            if (options.progress != nullptr)
                options.progress(options.progressContext, n + 1, g.blockRows);
            reported = n + 1;
        }
        currentSlot = currentSlot == 2 * g.R ? 0 : currentSlot + 1;
    }

    stopHelpers();
    keepAllRowsOpen(g.M, g.M);
    if (CallProfile* profile = ws_.profile) {
        for (const Member& m : members_) {
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
                            std::int32_t sharedCount)
{
    if (ws.g.blockRows <= 0)
        return FilterStatus::ok;
    Engine engine(ws, rings, window, shared, sharedCount);
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
