// Running the real larkspur executable: natively, or the Windows build under Wine when
// LARKSPUR_WINE_EXE names it.
#pragma once

#include "tests/support/process.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace e2e {

inline const char* wine_exe() {
    const char* w = std::getenv("LARKSPUR_WINE_EXE");
    return w && *w ? w : nullptr;
}

inline std::vector<std::string> larkspur_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (const char* w = wine_exe()) {
        argv = {"wine", w};
    } else {
        argv = {LARKSPUR_EXE};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The program's own file name as it prints it in the usage text.
inline std::string exe_name() {
    return wine_exe() ? "larkspur.exe" : "larkspur";
}

inline testsupport::RunResult run_larkspur(const std::vector<std::string>& args,
                                           testsupport::RunOptions opt = {}) {
    if (wine_exe()) {
        opt.env.emplace("WINEDEBUG", "-all");
        opt.timeout += std::chrono::seconds(60); // Wine starts slowly on a loaded machine
    }
    testsupport::RunResult r = testsupport::run(larkspur_argv(args), opt);
    // Windows' text mode writes CR LF; compare lines alike.
    std::string out;
    for (size_t i = 0; i < r.out.size(); ++i) {
        if (r.out[i] == '\r' && i + 1 < r.out.size() && r.out[i + 1] == '\n')
            continue;
        out.push_back(r.out[i]);
    }
    r.out = out;
    return r;
}

} // namespace e2e
