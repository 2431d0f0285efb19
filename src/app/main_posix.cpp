// Linux entry: rebuilds the argument text that Windows would hand to the
// program, so that the run logs and splits it exactly as it does there.
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/linux/argument_text.h"
#include "platform/linux/utf.h"

int main(int argc, char** argv) {
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
