#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/about.h"

namespace {

TEST(About, OnlyALoneVersionOrHelpIsARequest) {
    struct Case {
        std::vector<std::string> arguments;
        bool request;
    };
    const Case cases[] = {
        {{"--version"}, true},
        {{"--help"}, true},
        {{}, false},
        {{"--version", "--help"}, false},
        {{"--help", "/set"}, false},
        {{"/set", "--version"}, false},
        {{"--Version"}, false},
        {{"-v"}, false},
        {{"/?"}, false},
        {{"--help "}, false},
    };
    for (const Case& c : cases) {
        std::string text = "untouched";
        const bool request = aboutRequest(c.arguments, text);
        EXPECT_EQ(request, c.request) << (c.arguments.empty() ? "no arguments" : c.arguments[0]);
        if (!request) {
            EXPECT_EQ(text, "untouched");
        }
    }
}

}  // namespace
