#include "app/progress.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

TEST(FormatBytes, UnitThresholdsAndRounding)
{
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0B"},
        {1023, "1023B"},
        {1024, "1.00KiB"},
        {1536, "1.50KiB"},
        {1048575, "1024.00KiB"},
        {1048576, "1.00MiB"},
        {1073741823, "1024.00MiB"},
        {1073741824, "1.00GiB"},
        {-5, "-5B"},
        {5LL * 1024 * 1024 * 1024 * 1024, "5120.00GiB"},
    };
    for (const auto& [n, text] : cases) {
        EXPECT_STREQ(format_bytes(n), text) << n;
    }
}

// The room an update asks for is never shown smaller than it is.
TEST(FormatBytesUp, RoundsUpInTheSameUnits)
{
    const std::pair<std::int64_t, const char*> cases[] = {
        {1023, "1023B"},         {1024, "1.00KiB"},      {1025, "1.01KiB"},
        {13002342, "12.40MiB"},  {13002343, "12.41MiB"}, {1048575, "1024.00KiB"},
        {1073741825, "1.01GiB"},
    };
    for (const auto& [n, text] : cases) {
        EXPECT_STREQ(format_bytes_up(n), text) << n;
    }
    char line[PROGRESS_TEXT_SIZE];
    transfer_write_space_text(line, 13002343);
    EXPECT_STREQ(line, "12.41MiB more needed");
}

TEST(FormatDuration, MinutesHoursAndNegativeCounts)
{
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0:00"},       {59, "0:59"},      {60, "1:00"},        {427, "7:07"},  {3599, "59:59"},
        {3600, "1:00:00"}, {3661, "1:01:01"}, {90061, "25:01:01"}, {-75, "0:-15"},
    };
    for (const auto& [s, text] : cases) {
        EXPECT_STREQ(format_duration(s), text) << s;
    }
}

struct Texts {
    char bytes[PROGRESS_TEXT_SIZE];
    char speed[PROGRESS_TEXT_SIZE];
    char time[PROGRESS_TEXT_SIZE];
};

TransferProgress phase(std::int64_t total, std::int64_t start)
{
    TransferProgress tp = {};
    tp.total = total;
    tp.start_ms = start;
    tp.last_ms = start;
    return tp;
}

TEST(TransferUpdate, FiguresAndTexts)
{
    TransferProgress tp = phase(10 * 1048576, 1000);
    Texts t = {};
    // Same millisecond as the start: no speed, no time left.
    TransferFigures f = transfer_update_at(&tp, 0, t.bytes, t.speed, t.time, 1000);
    EXPECT_EQ(f.done, 0);
    EXPECT_FLOAT_EQ(f.fraction, 0.0f);
    EXPECT_EQ(f.speed, 0.0f);
    EXPECT_EQ(f.remaining_s, 0);
    EXPECT_STREQ(t.bytes, "0B of 10.00MiB");
    EXPECT_STREQ(t.speed, "Speed: 0Bps");
    EXPECT_STREQ(t.time, "Time Rem.: 0:00");

    transfer_entry_done(&tp, 1048576);
    f = transfer_update_at(&tp, 524288, t.bytes, t.speed, t.time, 4000);
    EXPECT_EQ(f.done, 1572864);
    EXPECT_FLOAT_EQ(f.fraction, 0.15f);
    EXPECT_FLOAT_EQ(f.speed, 524288.0f);
    EXPECT_EQ(f.remaining_s, 17);
    EXPECT_STREQ(t.bytes, "1.50MiB of 10.00MiB");
    EXPECT_STREQ(t.speed, "Speed: 512.00KiBps");
    EXPECT_STREQ(t.time, "Time Rem.: 0:17");
}

TEST(TransferUpdate, MoreBytesThanAnnouncedAndEmptyTotals)
{
    TransferProgress tp = phase(100, 0);
    Texts t = {};
    TransferFigures f = transfer_update_at(&tp, 1000, t.bytes, t.speed, t.time, 10000);
    EXPECT_FLOAT_EQ(f.fraction, 10.0f);
    EXPECT_EQ(f.remaining_s, -9);
    EXPECT_STREQ(t.time, "Time Rem.: 0:-9");

    TransferProgress empty = phase(0, 0);
    f = transfer_update_at(&empty, 0, t.bytes, t.speed, t.time, 1000);
    EXPECT_TRUE(std::isnan(f.fraction));
    f = transfer_update_at(&empty, 5, t.bytes, t.speed, t.time, 1000);
    EXPECT_TRUE(std::isinf(f.fraction));
}

TEST(TransferUpdate, ClockSetBackGivesNoSpeed)
{
    TransferProgress tp = phase(1000, 5000);
    Texts t = {};
    const TransferFigures f = transfer_update_at(&tp, 500, t.bytes, t.speed, t.time, 4000);
    EXPECT_EQ(f.speed, 0.0f);
    EXPECT_EQ(f.remaining_s, 0);
    EXPECT_EQ(f.redraw_due, 0);
    EXPECT_EQ(tp.tick_ms, -1000);
    EXPECT_EQ(tp.last_ms, 4000);
}

TEST(TransferUpdate, RedrawTickCarriesTheLeftover)
{
    Texts t = {};
    const std::pair<std::int64_t, std::int64_t> steps[] = {{30, 30}, {31, 1}, {75, 15}};
    for (const auto& [gap, left] : steps) {
        TransferProgress tp = phase(1000, 0);
        const TransferFigures f = transfer_update_at(&tp, 0, t.bytes, t.speed, t.time, gap);
        EXPECT_EQ(f.redraw_due, gap > 30 ? 1 : 0) << gap;
        EXPECT_EQ(tp.tick_ms, left) << gap;
    }
    TransferProgress tp = phase(1000, 0);
    int redraws = 0;
    for (std::int64_t now = 1; now <= 300; ++now) {
        redraws += transfer_update_at(&tp, 0, t.bytes, t.speed, t.time, now).redraw_due;
    }
    EXPECT_EQ(redraws, 9); // one per 31 ms of gathered time at 1 ms steps
}

TEST(TransferBegin, ResetsTheSums)
{
    TransferProgress tp = {5, 6, 7, 8, 9};
    const std::int64_t before = clock_monotonic_ms();
    // Speed and time left count real time: a step of the wall clock is
    // not seen.
    clock_shift_wall(3600000);
    transfer_begin(&tp, 1234);
    clock_shift_wall(-3600000);
    EXPECT_EQ(tp.total, 1234);
    EXPECT_EQ(tp.completed, 0);
    EXPECT_EQ(tp.tick_ms, 0);
    EXPECT_EQ(tp.start_ms, tp.last_ms);
    EXPECT_GE(tp.start_ms, before);
    EXPECT_LE(tp.start_ms, clock_monotonic_ms());
}

TEST(RetryText, NamesTheFileAndTheWholeSecondsLeftWithinOneLine)
{
    struct Case {
        const char* file_name;
        std::int64_t wait_ms;
        const char* text;
    };
    const Case cases[] = {
        {"game.pak", 4000, "Retrying game.pak in 4 s"},
        {"game.pak", 3001, "Retrying game.pak in 4 s"},
        {"game.pak", 1, "Retrying game.pak in 1 s"},
        {"maps/forest.map", 71999, "Retrying forest.map in 72 s"},
        {"a_very_long_file_name.pak", 2000, "Retrying a_very_lon... in 2 s"},
        {"game.pak", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char text[PROGRESS_TEXT_SIZE] = "the last line";
        EXPECT_EQ(transfer_write_retry_text(text, c.file_name, c.wait_ms), 1);
        EXPECT_STREQ(text, c.text);
        EXPECT_LE(std::strlen(text), static_cast<std::size_t>(PROGRESS_LINE_CHARS));
        EXPECT_EQ(transfer_write_retry_text(text, c.file_name, c.wait_ms), 0) << "unchanged";
    }
}

} // namespace

namespace {

TEST(PatchText, NamesTheFileThenWhatThePatchFetchesWithinOneLine)
{
    struct Case {
        const char* file_name;
        std::int64_t fetch_bytes;
        std::int64_t size;
        const char* text;
    };
    const Case cases[] = {
        {"maps/game.pak", -1, 512LL << 20, "Patching game.pak"},
        {"a_very_long_file_name_for_a_pack.pak", -1, 512LL << 20, "Patching a_very_long_file_..."},
        {"game.pak", 1258291, 512LL << 20, "Patch: 1.20MiB of 512.00MiB"},
        {"game.pak", 1048575, 1099511627775LL, "Patch: 1024.00KiB/1024.00GiB"},
        {"game.pak", 5, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char text[PROGRESS_TEXT_SIZE] = "the last line";
        EXPECT_EQ(transfer_write_patch_text(text, c.file_name, c.fetch_bytes, c.size), 1);
        EXPECT_STREQ(text, c.text);
        EXPECT_LE(std::strlen(text), static_cast<std::size_t>(PROGRESS_LINE_CHARS));
        EXPECT_EQ(transfer_write_patch_text(text, c.file_name, c.fetch_bytes, c.size), 0);
    }
}

} // namespace
