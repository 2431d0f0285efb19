// Linux entry: rebuilds the argument text that Windows would hand to the
// program, so that the run logs and splits it exactly as it does there.
#include <cstdio>
#include <string>
#include <vector>

#include "app/about.h"
#include "app/run.h"
#include "platform/linux/argument_text.h"
#include "platform/linux/utf.h"

int main(int argc, char** argv) {
    // --version or --help alone: answered before the run, so neither the
    // volume nor the log is touched.
    std::string about;
    if (aboutRequest(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), about)) {
        std::fputs(about.c_str(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(wideFromUtf8(argv[i]));
    }
    if (argc > 0) {
        setRunningExecutablePath(wideFromUtf8(argv[0]));
    }
    const std::wstring argumentText = quoteArgumentText(arguments);
    return runTarnwick(argumentText.c_str());
}
