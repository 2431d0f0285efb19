#include <random>

#include "app/options.h"
#include "platform/linux/argument_text.h"
#include "test_support.h"

namespace {

using Elements = std::vector<std::wstring>;

struct SplitCase {
    const wchar_t* text;
    Elements elements;
};

// Windows' own results, measured with CommandLineToArgvW.
TEST(CommandLineSplitting, MatchesWindowsRules) {
    setRunningExecutablePath(L"C:\\tools\\tarnwick.exe");
    const SplitCase cases[] = {
        {L"exe arg\"one\" \"second\"arg thirdarg ", {L"exe", L"argone", L"secondarg", L"thirdarg"}},
        {L"exe \\\"one \\\\\"two\" \\\\\\\"three \\\\\\\\\"four\" end",
         {L"exe", L"\"one", L"\\two", L"\\\"three", L"\\\\four", L"end"}},
        {L"exe \"one\\\" still\" \"two\\\\\" end", {L"exe", L"one\" still", L"two\\", L"end"}},
        {L"exe two\"\"quotes next", {L"exe", L"twoquotes", L"next"}},
        {L"exe three\"\"\"quotes next", {L"exe", L"three\"quotes", L"next"}},
        {L"exe \"two\"\"quotes next", {L"exe", L"two\"quotes", L"next"}},
        {L"exe \"three\"\"\" quotes\" next", {L"exe", L"three\" quotes", L"next"}},
        {L"exe\"file\"path arg1", {L"exe\"file\"path", L"arg1"}},
        {L"\\\"exe \"arg one\"", {L"\\\"exe", L"arg one"}},
        {L"\"exe\"arg\" one\" argtwo", {L"exe", L"arg one", L"argtwo"}},
        {L"\"spaced exe\\\"arg1 arg2", {L"spaced exe\\", L"arg1", L"arg2"}},
        {L"\"two\"\" arg1 ", {L"two", L" arg1 "}},
        {L" \"arg\"one argtwo", {L"", L"argone", L"argtwo"}},
        {L"/k \"Software\\My App\\\" /vn x", {L"/k", L"Software\\My App\" /vn x"}},
        {L"", {L"C:\\tools\\tarnwick.exe"}},
        {L"   ", {L""}},
        {L"a\tb\t\"c\td\"", {L"a", L"b", L"c\td"}},
        {L"a \"\" b", {L"a", L"", L"b"}},
        {L"a \"unclosed  run", {L"a", L"unclosed  run"}},
        {L"a b\\\\c\\", {L"a", L"b\\\\c\\"}},
        {L"a line\nfeed", {L"a", L"line\nfeed"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(splitCommandLine(c.text), c.elements) << narrow(c.text);
    }
}

TEST(CommandLineQuoting, SplittingTheQuotedTextGivesTheArgumentsBack) {
    const Elements lists[] = {
        {L"/set", L"/k", L"Software\\My App\\", L"/vn", L"a b", L"/vstr", L""},
        {L"first", L"\"quoted\"", L"back\\\\slash\\\"", L"\\", L"\t", L"x\"y z"},
        {L"a\"b", L"c"},
        {L"", L"/dp"},
        {L"two words"},
        {L"C:\\Program Files\\"},
    };
    for (const Elements& list : lists) {
        EXPECT_EQ(splitCommandLine(quoteArgumentText(list).c_str()), list);
    }
}

TEST(CommandLineQuoting, RandomListsRoundTrip) {
    std::mt19937 random(20261208);
    const wchar_t alphabet[] = L"ab \t\"\\/";
    for (int round = 0; round < 3000; ++round) {
        Elements list(1 + random() % 4);
        for (std::wstring& element : list) {
            const int length = static_cast<int>(random() % 7);
            for (int i = 0; i < length; ++i) {
                element += alphabet[random() % (sizeof(alphabet) / sizeof(wchar_t) - 1)];
            }
        }
        const std::wstring text = quoteArgumentText(list);
        Elements split = splitCommandLine(text.c_str());
        // A first element that the program-name rules cannot carry comes
        // back after an empty first slot.
        if (split.size() == list.size() + 1 && split.front().empty()) {
            split.erase(split.begin());
        }
        ASSERT_EQ(split, list) << "text: " << narrow(text);
    }
}

}  // namespace
