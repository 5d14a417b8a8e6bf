// What the download makes of the server's answer: only bytes that follow
// those on disk are appended, a whole body starts the file again, a range
// the server cannot satisfy at the file's own size means it is complete, and
// nothing larger than the limit is taken.
#include <gtest/gtest.h>

#include "installer/uResumeRules.h"

using resume::TAction;

TEST(ResumeRules, EachAnswerGetsItsPlan) {
    constexpr std::uint32_t Max = resume::MaxSetupSize;
    struct Case {
        const char* Name;
        std::uint32_t OnDisk, Status;
        const wchar_t *Length, *Range;
        TAction Action;
        std::uint32_t Total;
    } cases[] = {
        {"fresh 200", 0, 200, L"2000", L"", TAction::Restart, 2000},
        {"fresh 203", 0, 203, L"2000", L"", TAction::Restart, 2000},
        {"200 to a range starts again", 500, 200, L"2000", L"", TAction::Restart, 2000},
        {"aligned 206", 500, 206, L"1500", L"bytes 500-1999/2000", TAction::Append, 2000},
        {"aligned 206, unknown total", 500, 206, L"1500", L"bytes 500-1999/*", TAction::Refuse, 0},
        {"aligned 206, any case of the unit", 500, 206, L"1500", L"Bytes  500-1999/2000", TAction::Append, 2000},
        {"206 from byte 0 to a range from 500", 500, 206, L"2000", L"bytes 0-1999/2000", TAction::Refuse, 0},
        {"206 past the bytes on disk", 500, 206, L"1000", L"bytes 1000-1999/2000", TAction::Refuse, 0},
        {"206 short of the end", 500, 206, L"500", L"bytes 500-999/2000", TAction::Refuse, 0},
        {"206 length not its range's", 500, 206, L"1499", L"bytes 500-1999/2000", TAction::Refuse, 0},
        {"206 without a range", 500, 206, L"1500", L"", TAction::Refuse, 0},
        {"206 unsatisfied range", 500, 206, L"0", L"bytes */2000", TAction::Refuse, 0},
        {"416 at the file's size", 2000, 416, L"0", L"bytes */2000", TAction::Complete, 2000},
        {"416 without a length", 2000, 416, L"", L"bytes */2000", TAction::Complete, 2000},
        {"416 at another size", 2000, 416, L"0", L"bytes */3000", TAction::Refuse, 0},
        {"416 without a range", 2000, 416, L"0", L"", TAction::Refuse, 0},
        {"416 with nothing on disk", 0, 416, L"0", L"bytes */0", TAction::Refuse, 0},
        {"no length", 0, 200, L"", L"", TAction::Refuse, 0},
        {"length not a number", 0, 200, L"-5", L"", TAction::Refuse, 0},
        {"length with a blank", 0, 200, L"20 00", L"", TAction::Refuse, 0},
        {"500", 0, 500, L"10", L"", TAction::Refuse, 0},
        {"404", 500, 404, L"10", L"", TAction::Refuse, 0},
        {"302", 0, 302, L"0", L"", TAction::Refuse, 0},
        {"at the limit", 0, 200, L"1073741824", L"", TAction::Restart, Max},
        {"past the limit", 0, 200, L"1073741825", L"", TAction::Refuse, 0},
        {"past 32 bits", 0, 200, L"4294968296", L"", TAction::Refuse, 0},
        {"206 past the limit", 1000, 206, L"1073741824", L"bytes 1000-1073742823/1073742824", TAction::Refuse, 0},
        {"416 past the limit", 1073741825u, 416, L"0", L"bytes */1073741825", TAction::Refuse, 0},
    };
    for (const Case& c : cases) {
        resume::TPlan plan = resume::PlanAnswer(c.OnDisk, c.Status, c.Length, c.Range);
        EXPECT_EQ(plan.Action, c.Action) << c.Name;
        EXPECT_EQ(plan.TotalSize, c.Total) << c.Name;
    }
}

TEST(ResumeRules, ContentRangeIsReadStrictly) {
    struct Case {
        const wchar_t* Text;
        bool Valid;
        bool Satisfied = false;
        std::uint64_t First = 0, Last = 0;
        bool HasTotal = false;
        std::uint64_t Total = 0;
    } cases[] = {
        {L"bytes 0-499/1234", true, true, 0, 499, true, 1234},
        {L"bytes */1234", true, false, 0, 0, true, 1234},
        {L"bytes 5-9/*", true, true, 5, 9, false, 0},
        {L"bytes */*", false},
        {L"bytes 9-5/20", false},
        {L"bytes 0-20/20", false},
        {L"bytes=0-4/5", false},
        {L"items 0-4/5", false},
        {L"bytes 0-4/5 ", false},
        {L"bytes -4/5", false},
        {L"bytes 00000000000000000001-2/3", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        resume::TContentRange range;
        ASSERT_EQ(resume::ParseContentRange(c.Text, range), c.Valid) << testing::PrintToString(std::wstring(c.Text));
        if (!c.Valid) continue;
        EXPECT_EQ(range.Satisfied, c.Satisfied);
        EXPECT_EQ(range.First, c.First);
        EXPECT_EQ(range.Last, c.Last);
        EXPECT_EQ(range.HasTotal, c.HasTotal);
        EXPECT_EQ(range.Total, c.Total);
    }
}

TEST(ResumeRules, ReadsStopAtTheAnnouncedLength) {
    struct Case {
        const char* Name;
        std::uint32_t Available, Chunk, Done, Total, Wanted;
    } cases[] = {
        {"a chunk of plenty", 5000, 512, 0, 2000, 512},
        {"what has arrived", 100, 512, 0, 2000, 100},
        {"only what remains", 5000, 512, 1900, 2000, 100},
        {"what has arrived, within what remains", 50, 512, 1900, 2000, 50},
        {"nothing past the end", 5000, 512, 2000, 2000, 0},
        {"bytes past the announced length", 5000, 512, 2500, 2000, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resume::ReadSize(c.Available, c.Chunk, c.Done, c.Total), c.Wanted) << c.Name;
}
