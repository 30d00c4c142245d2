// A module whose entry point fails, as one whose federation the host refused.
//
// With DRV_TEST_SIGNAL_AT_EXIT set to a signal number it also stands for
// whatever may still run while a failed host ends: should the host's exit
// run the process's exit handlers, the one set here sends the host that
// signal and gives the host's signal thread time to take it.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int _signalAtExit = 0;

void signalAndLinger() {
    kill(getpid(), _signalAtExit);
    // Ample for the signal thread to act; the host ends at its own pace
    // either way once this returns.
    for (int i = 0; i < 2000; i++) usleep(1000);
}

}  // namespace

extern "C" int moduleMain() {
    const char* sig = getenv("DRV_TEST_SIGNAL_AT_EXIT");
    if (sig != nullptr) {
        _signalAtExit = atoi(sig);
        atexit(signalAndLinger);
    }
    return 76;
}
