#include <cstdlib>
#include <ctime>
#include <iomanip>

#include "log/log.h"
#include "test_support.h"

namespace {

class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

struct StampCase {
    const char* zone;
    long long utcSeconds;
    const char* expected;
};

// 2031-11-04 08:05:07 UTC and 2031-07-04 08:05:07 UTC.
constexpr long long november = 1951545907;
constexpr long long july = 1940918707;

TEST(LogStamp, FormatsLocalTimeWithNumericOffset) {
    const StampCase cases[] = {
        {"UTC0", november, "2031-11-04 08:05:07 +0000"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", november, "2031-11-04 09:05:07 +0100"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", july, "2031-07-04 10:05:07 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", november, "2031-11-04 03:05:07 -0500"},
        {"EST5EDT,M3.2.0,M11.1.0", july, "2031-07-04 04:05:07 -0400"},
        {"IST-5:30", november, "2031-11-04 13:35:07 +0530"},
        {"NST3:30NDT,M3.2.0,M11.1.0", november, "2031-11-04 04:35:07 -0330"},
        // A year boundary crossed by the offset.
        {"UTC+10", 1924992000, "2030-12-31 14:00:00 -1000"},
    };
    for (const StampCase& c : cases) {
        ZoneGuard zone(c.zone);
        EXPECT_EQ(narrow(formatLogStamp(c.utcSeconds)), c.expected) << "zone " << c.zone;
    }
}

class LogFile : public TarnwickTest {};

TEST_F(LogFile, BytesAreLatin1WithCrLfAndQuestionMarksAboveFF) {
    logLine() << L"plain \x00e9\x00ff\n";
    // A Cyrillic letter, a CJK letter, a surrogate pair (one character), a
    // lone low surrogate and a character beyond the BMP each become one "?",
    // and logging goes on.
    logLine() << L"user \x0416\x4e2d|" << std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}
              << L"|" << std::wstring{static_cast<wchar_t>(0xDC00)} << L"|"
              << std::wstring{static_cast<wchar_t>(0x1F600)} << L"\n";
    logLine() << L"still logging\n";

    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 3u) << logBytes();
    EXPECT_EQ(lines[0], "plain \xe9\xff");
    EXPECT_EQ(lines[1], "user ??|?|?|?");
    EXPECT_EQ(lines[2], "still logging");
}

TEST_F(LogFile, LineFeedInsideAValueBreaksTheLineWithoutPrefix) {
    logLine() << L"two\nlines\r\n";
    const std::string bytes = logBytes();
    ASSERT_EQ(bytes.size(), 26 + std::string("two\r\nlines\r\r\n").size()) << bytes;
    EXPECT_EQ(bytes.substr(26), "two\r\nlines\r\r\n");
}

TEST_F(LogFile, RunsAppendAndLinesShareNoPrefix) {
    logLine() << L"first run\n";
    resetLogForTests();
    logLine() << L"second run\n";
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "first run");
    EXPECT_EQ(lines[1], "second run");
    const std::string bytes = logBytes();
    EXPECT_EQ(bytes.size(), 2 * 26 + std::string("first run\r\nsecond run\r\n").size());
}

TEST_F(LogFile, NumbersPathsWidthsAndBooleansRenderAsLogged) {
    logLine() << 0 << L" " << static_cast<LONG>(-1009) << L" " << static_cast<DWORD>(4294967295u) << L"\n";
    logLine() << QuotedPath{L"X:\\Users\\user1\\NTUSER.DAT"} << L" " << QuotedPath{L"a\"b"} << L"\n";
    logLine() << std::setw(28) << L"valueName: " << L"x" << std::setw(3) << L"toolong" << L"\n";
    logLine() << std::boolalpha << true << L"\n";
    logLine() << false << L"\n";  // alphabetic booleans stay on
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "0 -1009 4294967295");
    EXPECT_EQ(lines[1], R"("X:\\Users\\user1\\NTUSER.DAT" "a\"b")");
    EXPECT_EQ(lines[2], "                 valueName: xtoolong");
    EXPECT_EQ(lines[3], "true");
    EXPECT_EQ(lines[4], "false");
}

TEST_F(LogFile, MissingTemporaryDirectoryWritesNothingAndDoesNotFail) {
    setenv("TMPDIR", (tempDir_ + "/does-not-exist").c_str(), 1);
    logLine() << L"lost\n";
    logLine() << L"lost too\n";
    setenv("TMPDIR", tempDir_.c_str(), 1);
    // The open is attempted once per run: no retry in a directory that
    // appears later.
    logLine() << L"still lost\n";
    EXPECT_EQ(logBytes(), "");
}

}  // namespace
