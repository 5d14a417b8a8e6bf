// The pure part of the stamping service: copies made from the shared image
// against the stamping code's own output, the download address and its
// signature, and the range and tag rules.
#include <gtest/gtest.h>

#include <algorithm>

#include "PeFixture.h"
#include "host/stampd/Attribution.h"
#include "host/stampd/Conditional.h"
#include "host/stampd/Release.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Assemble(const stampd::Release& release, const stampd::Copy& copy, std::size_t from = 0) {
    Bytes bytes;
    for (std::size_t at = from;;) {
        auto piece = release.PieceAt(copy, at);
        if (piece.empty()) return bytes;
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        at += piece.size();
    }
}

const std::string Key(40, 'k');
const std::string OldKey(40, 'o');

}  // namespace

// A copy must be byte for byte what stamping the original gives, checksum
// included, for any layout: the values at even or odd offsets, a file of
// even or odd length, an original already stamped.
TEST(StampdRelease, CopiesEqualTheStampedFile) {
    const std::string valueSets[][3] = {
        {"spring sale", "p17", "t9"}, {"", "", ""}, {std::string(100, '~'), "x", ""}, {"a", "b", "z z"}};
    struct Layout {
        bool Unauthenticated;
        std::size_t ImageSize;
        bool Prestamped;
    } layouts[] = {{false, 0x1000, false}, {true, 0x1000, false}, {false, 0x1001, false}, {true, 0x1237, true}};
    for (const Layout& layout : layouts) {
        Bytes original = MakeSignedPe(layout.Unauthenticated, layout.ImageSize);
        std::string error;
        if (layout.Prestamped) {
            const std::wstring old[3] = {L"old", L"older", L"oldest"};
            ASSERT_TRUE(stamp::StampFile(original, old, error)) << error;
        }
        auto release = stampd::Release::Load(original, error);
        ASSERT_TRUE(release) << error;
        for (const auto& values : valueSets) {
            SCOPED_TRACE(layout.ImageSize * 10 + layout.Unauthenticated);
            SCOPED_TRACE(values[0]);
            Bytes expected = original;
            const std::wstring wide[3] = {{values[0].begin(), values[0].end()},
                                          {values[1].begin(), values[1].end()},
                                          {values[2].begin(), values[2].end()}};
            ASSERT_TRUE(stamp::StampFile(expected, wide, error)) << error;
            stampd::Copy copy = release->MakeCopy(values);
            EXPECT_EQ(Assemble(*release, copy), expected);
            EXPECT_EQ(release->Size(), expected.size());
            // The shared run is the same in every copy and holds most of the file.
            auto [first, end] = release->SharedRun();
            EXPECT_GT(end - first, expected.size() / 2);
            EXPECT_TRUE(std::equal(expected.begin() + first, expected.begin() + end, release->Image().begin() + first));
            // Any starting point gives the rest of the same bytes.
            for (std::size_t from : {std::size_t{1}, expected.size() - 601, expected.size() - 1})
                EXPECT_EQ(Assemble(*release, copy, from), Bytes(expected.begin() + from, expected.end()));
        }
    }
}

TEST(StampdRelease, TagsFollowTheContents) {
    std::string error;
    auto release = stampd::Release::Load(MakeSignedPe(), error);
    ASSERT_TRUE(release) << error;
    const std::string a[3] = {"c", "p", "t"}, b[3] = {"c", "p", "u"};
    EXPECT_EQ(release->MakeCopy(a).ETag, release->MakeCopy(a).ETag);
    EXPECT_NE(release->MakeCopy(a).ETag, release->MakeCopy(b).ETag);
    EXPECT_EQ(release->MakeCopy(a).ETag.front(), '"');
    auto other = stampd::Release::Load(MakeSignedPe(true), error);
    EXPECT_NE(other->MakeCopy(a).ETag, release->MakeCopy(a).ETag);
}

TEST(StampdRelease, RefusesWhatCannotBeStamped) {
    std::string error;
    Bytes unsigned_ = MakeSignedPe();
    EXPECT_FALSE(stampd::Release::Load(Bytes(unsigned_.begin(), unsigned_.begin() + 0x800), error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(stampd::Release::Load(Bytes(5000, 'x'), error));
    EXPECT_NE(error.find("not a PE"), std::string::npos);
}

TEST(StampdAttribution, ReadsTheNameAndTheValues) {
    const struct {
        const char* Target;
        const char* Name;
        const char* ErrorCode;
        const char* Linker;
        const char* Cookie;
        const char* Partner;
        const char* Traffic;
    } cases[] = {
        {"/qlx_E12-setup_forum.exe?cookie=forum-2026&partner=p23&traffic=t2", "qlx_E12-setup_forum.exe", "E12", "forum",
         "forum-2026", "p23", "t2"},
        {"/qlx-setup_spring-news.exe?cookie=spring%20sale&partner=p17", "qlx-setup_spring-news.exe", "", "spring-news",
         "spring sale", "p17", ""},
        {"/qlx_E40-setup.exe?traffic=a+b", "qlx_E40-setup.exe", "E40", "", "", "", "a b"},
        {"/qlx-setup.exe", "qlx-setup.exe", "", "", "", "", ""},
        {"/qlx_E%201-setup.exe?cookie=", "qlx_E 1-setup.exe", "E 1", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Target);
        stampd::Attribution a;
        std::string reason;
        ASSERT_TRUE(stampd::ParseTarget(c.Target, a, reason)) << reason;
        EXPECT_EQ(a.FileName, c.Name);
        EXPECT_EQ(a.ErrorCode, c.ErrorCode);
        EXPECT_EQ(a.Linker, c.Linker);
        EXPECT_EQ(a.Values[0], c.Cookie);
        EXPECT_EQ(a.Values[1], c.Partner);
        EXPECT_EQ(a.Values[2], c.Traffic);
    }
}

TEST(StampdAttribution, RefusesWithAReason) {
    const struct {
        std::string Target;
        const char* Reason;
    } cases[] = {
        {"/setup.exe", "not qlx_<error code>-setup_<linker value>.exe"},
        {"/qlx_E12-setup_forum.msi", "not qlx_"},
        {"/qlx-setup_a b.exe", "not qlx_"},             // the installer would read "a"
        {"/qlx_E1-setup-setup.exe", "not qlx_"},        // nor "E1-setup"
        {"/dir/qlx-setup.exe", "cannot hold"},
        {"/qlx-setup_a%2Fb.exe", "cannot hold"},
        {"/qlx-setup_a%00.exe", "cannot hold"},
        {"/qlx-setup_%E9.exe", "cannot hold"},
        {"/qlx-setup_a%.exe", "percent-encoding"},
        {"/qlx-setup.exe?cookie=%4", "percent-encoding"},
        {"/qlx-setup.exe?cookie=%zz", "percent-encoding"},
        {"/qlx-setup.exe?cookie=" + std::string(101, 'c'), "cookie refused: longer than 100"},
        {"/qlx-setup.exe?partner=%22hi%22", "partner refused: double quotes"},
        {"/qlx-setup.exe?traffic=%09", "traffic refused: only printable ASCII"},
        {"/qlx-setup.exe?cookie=%20padded", "a blank at either end"},
        {"/qlx-setup.exe?cookie=a&cookie=b", "given twice"},
        {"/qlx-setup.exe?campaign=a", "unknown query field"},
        {"/qlx-setup.exe?cookie", "has no value"},
        {"/qlx-setup.exe?cookie=a&&partner=b", "has no value"},
        {"/qlx-setup_" + std::string(2100, 'x') + ".exe", "longer than 2048"},
        {"/qlx_" + std::string(101, 'E') + "-setup.exe", "the error code refused: longer than 100"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Target.substr(0, 80));
        stampd::Attribution a;
        std::string reason;
        EXPECT_FALSE(stampd::ParseTarget(c.Target, a, reason));
        EXPECT_NE(reason.find(c.Reason), std::string::npos) << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos);
    }
}

TEST(StampdAttribution, SignatureWithTwoKeys) {
    stampd::Attribution a;
    std::string reason;
    ASSERT_TRUE(stampd::ParseTarget("/qlx_E12-setup_forum.exe?cookie=c&partner=p23&traffic=t", a, reason));
    std::string canonical = stampd::CanonicalForm(a);
    auto check = [&](const std::string& signature, const std::string& oldKey) {
        stampd::Attribution signed_ = a;
        signed_.Signature = signature;
        return stampd::CheckSignature(signed_, Key, oldKey);
    };
    EXPECT_EQ(check("", OldKey), stampd::SignatureCheck::Missing);
    EXPECT_EQ(check(stampd::Sign(Key, canonical), OldKey), stampd::SignatureCheck::Valid);
    EXPECT_EQ(check(stampd::Sign(OldKey, canonical), OldKey), stampd::SignatureCheck::ValidOldKey);
    EXPECT_EQ(check(stampd::Sign(OldKey, canonical), ""), stampd::SignatureCheck::Bad);
    EXPECT_EQ(check(stampd::Sign(Key, canonical).substr(1), OldKey), stampd::SignatureCheck::Bad);
    // Another partner's values under a genuine signature.
    stampd::Attribution other = a;
    other.Values[1] = "p24";
    EXPECT_EQ(check(stampd::Sign(Key, stampd::CanonicalForm(other)), OldKey), stampd::SignatureCheck::Bad);
    // The name is covered too: the same values under another linker value.
    other = a;
    other.FileName = "qlx_E12-setup_news.exe";
    EXPECT_EQ(check(stampd::Sign(Key, stampd::CanonicalForm(other)), OldKey), stampd::SignatureCheck::Bad);
    // RFC 4231, test case 2: the HMAC itself.
    EXPECT_EQ(stampd::Sign("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(StampdAttribution, LinksReadBackAsTheyWereMade) {
    stampd::Attribution a;
    a.FileName = "qlx_E 1-setup_forum.exe";
    a.Values[0] = "spring sale & more=50%";
    a.Values[2] = "t:9/x?";
    std::string target = stampd::LinkTarget(a);
    EXPECT_EQ(target, "/qlx_E%201-setup_forum.exe?cookie=spring%20sale%20%26%20more%3D50%25&traffic=t%3A9%2Fx%3F");
    stampd::Attribution read;
    std::string reason;
    ASSERT_TRUE(stampd::ParseTarget(target, read, reason)) << reason;
    EXPECT_EQ(stampd::CanonicalForm(read), stampd::CanonicalForm(a));
}

TEST(StampdConditional, Ranges) {
    const struct {
        const char* Header;
        stampd::RangeKind Kind;
        std::size_t First, Last;
    } cases[] = {
        {"bytes=0-99", stampd::RangeKind::Part, 0, 99},
        {"bytes=100-", stampd::RangeKind::Part, 100, 999},
        {"bytes=-100", stampd::RangeKind::Part, 900, 999},
        {"bytes=-5000", stampd::RangeKind::Part, 0, 999},
        {"bytes=990-5000", stampd::RangeKind::Part, 990, 999},
        {"bytes=999-999", stampd::RangeKind::Part, 999, 999},
        {"bytes=1000-", stampd::RangeKind::Unsatisfiable, 0, 0},
        {"bytes=-0", stampd::RangeKind::Unsatisfiable, 0, 0},
        {"bytes=0-1,5-6", stampd::RangeKind::Whole, 0, 0},
        {"bytes=5-1", stampd::RangeKind::Whole, 0, 0},
        {"bytes=a-1", stampd::RangeKind::Whole, 0, 0},
        {"items=0-1", stampd::RangeKind::Whole, 0, 0},
        {"bytes=99999999999999999999-", stampd::RangeKind::Whole, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Header);
        std::size_t first = 0, last = 0;
        EXPECT_EQ(stampd::ParseRange(c.Header, 1000, first, last), c.Kind);
        if (c.Kind != stampd::RangeKind::Part) continue;
        EXPECT_EQ(first, c.First);
        EXPECT_EQ(last, c.Last);
    }
}

TEST(StampdConditional, Tags) {
    const std::string tag = "\"abc\"";
    EXPECT_TRUE(stampd::MatchesAnyTag("\"abc\"", tag));
    EXPECT_TRUE(stampd::MatchesAnyTag("\"x\", W/\"abc\"", tag));
    EXPECT_TRUE(stampd::MatchesAnyTag("*", tag));
    EXPECT_FALSE(stampd::MatchesAnyTag("\"abcd\"", tag));
    EXPECT_FALSE(stampd::MatchesAnyTag("abc", tag));
    EXPECT_TRUE(stampd::IfRangeHolds("\"abc\"", tag));
    EXPECT_FALSE(stampd::IfRangeHolds("W/\"abc\"", tag));
    EXPECT_FALSE(stampd::IfRangeHolds("Tue, 15 Nov 1994 08:12:31 GMT", tag));
}
