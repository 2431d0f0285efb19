// Windows entry: the start-up code hands over the command line without the
// program name, exactly as the run logs it.
#include "app/run.h"
#include "platform/winapi.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR argumentText, int) {
    return runTarnwick(argumentText);
}
