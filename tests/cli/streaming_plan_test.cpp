// Plans that stream a page within a memory budget.
#include "cli/streaming.h"
#include "sorvik/denoise.h"

#include <gtest/gtest.h>


namespace sorvik::cli {
namespace {

Picture pageOf(std::int32_t rows, std::int32_t cols, int channels)
{
    Picture page;
    page.rows = rows;
    page.cols = cols;
    page.channels = channels;
    page.alpha = channels == 2 || channels == 4 ? channels - 1 : -1;
    page.depth = PixelDepth::uint16;
    page.name = "noisy image 'x.tif'";
    return page;
}

sorvik::DenoiseOptions defaults(int threads)
{
    sorvik::DenoiseOptions o;
    o.wiener.step = defaultStep;
    o.threads = threads;
    return o;
}

TEST(StreamPlan, FitsTheBudgetAndKeepsTheContextSmallWhereItCan)
{
    const std::uint64_t resident = 130u << 20;
    for (int channels : {1, 4})
        for (std::uint64_t budget : {std::uint64_t(256) << 20, std::uint64_t(4) << 30}) {
            const Picture page = pageOf(16000, 16000, channels);
            const StreamPlan plan = planStream(page, defaults(2), true, budget, resident);
            EXPECT_LE(plan.bytes + resident, budget);
            EXPECT_GE(plan.coreRows, 1);
            EXPECT_GE(plan.coreCols, 1);
            // The whole image in memory would not fit either budget. The grouped
            // pilot's wider context takes 4G, not 2G, for a quarter of recomputed context.
            EXPECT_GT(inMemoryBytes({page}, defaults(2), true) + resident, budget);
            if (budget >= (std::uint64_t(4) << 30)) {
                EXPECT_LT(plan.overhead, 0.25) << channels << " channels";
            }
        }
    // A narrow image streams in full-width bands: no column is filtered twice.
    const StreamPlan narrow =
        planStream(pageOf(200000, 600, 1), defaults(1), false, 256u << 20, 130u << 20);
    EXPECT_EQ(narrow.coreCols, 600);
    EXPECT_LT(narrow.overhead, 0.25);
}

TEST(StreamPlan, ABudgetTooSmallNamesTheLeastThatWorks)
{
    const Picture page = pageOf(5000, 30000, 3);
    const std::uint64_t resident = 100u << 20;
    std::uint64_t least = 0;
    try {
        planStream(page, defaults(2), true, 120u << 20, resident);
        FAIL() << "a budget below the least was taken";
    } catch (const UsageError& e) {
        const std::string text = e.what();
        const std::string key = "--memory ";
        const std::size_t at = text.rfind(key);
        ASSERT_NE(at, std::string::npos) << text;
        ASSERT_EQ(text.back(), 'M') << text;
        least = std::stoull(text.substr(at + key.size())) << 20;
        EXPECT_NE(text.find("30000 x 5000"), std::string::npos) << text;
    }
    const StreamPlan plan = planStream(page, defaults(2), true, least, resident);
    EXPECT_LE(plan.bytes + resident, least);
    EXPECT_THROW(planStream(page, defaults(2), true, least - (1u << 20), resident), UsageError);
}

TEST(StreamPlan, MemorySizesAreReadWithTheirUnits)
{
    EXPECT_EQ(parseMemory("512M", "--memory"), std::uint64_t(512) << 20);
    EXPECT_EQ(parseMemory("2g", "--memory"), std::uint64_t(2) << 30);
    EXPECT_EQ(parseMemory("3KiB", "--memory"), 3072u);
    EXPECT_EQ(parseMemory("1000", "--memory"), 1000u);
    EXPECT_EQ(parseMemory("16777215T", "--memory"), std::uint64_t(16777215) << 40);
    EXPECT_THROW(parseMemory("16777216T", "--memory"), UserError);
    EXPECT_THROW(parseMemory("18446744073709551616", "--memory"), UserError);
    EXPECT_THROW(parseMemory("0", "--memory"), UserError);
    for (const char* bad : {"", "M", "1.5G", "-1", "12 M", "5Q"})
        EXPECT_THROW(parseMemory(bad, "--memory"), UsageError) << bad;
    EXPECT_EQ(memoryText(1), "1M");
    EXPECT_EQ(memoryText(std::uint64_t(3) << 20), "3M");
}

} // namespace
} // namespace sorvik::cli
