#include "app/run.h"

#include <cstdio>

int main(int argc, char** argv) {
    // Every line must reach the console (or a pipe) as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return larkspur_run(argc, argv);
}
