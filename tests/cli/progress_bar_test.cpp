#include "cli/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace sorvik::cli {
namespace {

// Everything the bar printed, read back from its temporary file.
std::string printed(std::FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += char(c);
    return text;
}

TEST(ProgressBar, FormatsCountsElapsedAndRemainingTime)
{
    const std::string line = formatProgress("wiener", 25, 100, 30.0);
    EXPECT_NE(line.find("25/100 rows"), std::string::npos) << line;
    EXPECT_NE(line.find("0:30 elapsed"), std::string::npos) << line;
    EXPECT_NE(line.find("1:30 left"), std::string::npos) << line;
    EXPECT_NE(line.find("[#######.......................]"), std::string::npos) << line;
    const std::string done = formatProgress("wiener", 100, 100, 3725.0);
    EXPECT_NE(done.find("1:02:05 elapsed"), std::string::npos) << done;
    EXPECT_EQ(done.find("left"), std::string::npos) << done;
}

TEST(ProgressBar, StaysSilentForQuickCallsThenRedrawsAtAModestRate)
{
    double now = 100.0;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        ProgressBar bar("wiener", true, out, [&now] { return now; });
        now += 0.2;
        ProgressBar::report(&bar, 1, 10);
        EXPECT_EQ(printed(out), "") << "a call shorter than half a second prints nothing";
        now += 0.4;
        ProgressBar::report(&bar, 2, 10);
        EXPECT_NE(printed(out).find("2/10 rows"), std::string::npos);
        now += 0.01;
        ProgressBar::report(&bar, 3, 10);
        EXPECT_EQ(printed(out).find("3/10 rows"), std::string::npos) << "redrawn too soon";
        now += 0.2;
        ProgressBar::report(&bar, 1, 10); // a late report from another thread
        EXPECT_EQ(printed(out).find("1/10 rows"), std::string::npos) << "the bar moved back";
        ProgressBar::report(&bar, 10, 10);
        EXPECT_NE(printed(out).find("10/10 rows"), std::string::npos);
    }
    const std::string text = printed(out);
    EXPECT_EQ(text.back(), '\n') << "the finished bar ends its line";
    std::fclose(out);
}

TEST(ProgressBar, DisabledOrQuickBarsPrintNothing)
{
    double now = 0.0;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        ProgressBar disabled("wiener", false, out, [&now] { return now; });
        now = 5.0;
        ProgressBar::report(&disabled, 10, 10);
    }
    {
        now = 0.0;
        ProgressBar quick("pilot", true, out, [&now] { return now; });
        ProgressBar::report(&quick, 10, 10);
    }
    EXPECT_EQ(printed(out), "");
    std::fclose(out);
}

TEST(ProgressBar, NotesTakeTheBarsLineAndTheBarComesBackBelow)
{
    double now = 0.0;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        ProgressBar bar("denoise", true, out, [&now] { return now; });
        bar.setUnit("%");
        now = 1.0;
        bar.update(40, 100);
        bar.note("a.png: estimated sigma: 20 (levels of 255)");
        const std::string text = printed(out);
        const std::size_t note = text.find("\ra.png: estimated sigma: 20 (levels of 255)");
        ASSERT_NE(note, std::string::npos) << text;
        EXPECT_LT(text.find("40/100 %"), note);
        EXPECT_EQ(text.back(), '\n') << "the note ends its own line";
        now = 1.01; // sooner than a redraw would come, yet the bar was overwritten
        bar.update(41, 100);
        EXPECT_GT(printed(out).find("41/100 %"), note) << printed(out);
    }
    // A disabled bar still prints notes: they are the tool's messages.
    std::FILE* quiet = std::tmpfile();
    ASSERT_NE(quiet, nullptr);
    {
        ProgressBar bar("denoise", false, quiet, [&now] { return now; });
        bar.note("estimated sigma: 3");
    }
    EXPECT_EQ(printed(quiet), "estimated sigma: 3\n");
    std::fclose(quiet);
    std::fclose(out);
}

} // namespace
} // namespace sorvik::cli
