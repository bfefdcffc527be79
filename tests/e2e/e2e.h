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
    const char* w = wine_exe();
    std::vector<std::string> argv =
        w ? std::vector<std::string>{"wine", w} : std::vector<std::string>{LARKSPUR_EXE};
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
    for (size_t at; (at = r.out.find("\r\n")) != std::string::npos;)
        r.out.erase(at, 1);
    return r;
}

} // namespace e2e
