#include "app/run.h"

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    // Every line must reach the console (or a pipe) as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#ifdef SIGPIPE
    // A reader that went away (`| head -1`) ends no run: a print that fails is ignored, as
    // on Windows, and the run reaches its end, clean-up and terminal restore included.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    return larkspur_run(argc, argv);
}
