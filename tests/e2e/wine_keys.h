// Keys for larkspur.exe under Wine. Wine hands a console program's keyboard poll nothing from
// its standard input, so the key tool (tests/support/wine_keys.cpp) attaches to the program's
// console and types them there. Wine gives larkspur.exe a console only when its standard
// input is a terminal (RunOptions::stdin_terminal).
#pragma once

#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace e2e {

// Sends the keys to the larkspur.exe that run is, which must be the only one running in the
// Wine prefix (the Wine tests hold the wine resource lock).
inline void wine_send_keys(testsupport::Process& run, const std::string& keys) {
    const char* tool = std::getenv("LARKSPUR_WINE_KEYS");
    ASSERT_TRUE(tool && *tool) << "LARKSPUR_WINE_KEYS names no key tool";
    ASSERT_TRUE(run.running()) << "larkspur.exe has ended";
    testsupport::RunOptions opt;
    opt.stdin_data = keys;
    opt.env.emplace("WINEDEBUG", "-all");
    opt.timeout = std::chrono::seconds(60); // Wine starts slowly on a loaded machine
    testsupport::RunResult r = testsupport::run({"wine", tool, "larkspur.exe"}, opt);
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

} // namespace e2e
