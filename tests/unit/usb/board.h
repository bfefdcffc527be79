// A larkspur-board process serving a private device directory, which is where this
// process finds its devices for the length of the test.
#pragma once

#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace unitboard {

using namespace std::chrono_literals;

class Board {
  public:
    Board() { setenv("LARKSPUR_DEVICES", dir_.path().c_str(), 1); }
    // Starts a board with these arguments and waits for its device entry. Call it from
    // the test's own thread: the board ends with the thread that started it.
    void start(const std::vector<std::string>& args) {
        proc_.reset();
        log_ = dir_.file("board" + std::to_string(starts_++) + ".log");
        std::vector<std::string> argv = {LARKSPUR_BOARD_EXE, "--devices", dir_.path(), "--log",
                                         log_};
        argv.insert(argv.end(), args.begin(), args.end());
        proc_ = std::make_unique<testsupport::Background>(argv);
        EXPECT_TRUE(testsupport::eventually([&] { return count("READY") > 0; }, 10s));
    }
    void stop() { proc_.reset(); }
    std::string log() const { return testsupport::read_file(log_); }
    size_t count(const std::string& text) const {
        std::string l = log();
        size_t n = 0;
        for (size_t at = l.find(text); at != std::string::npos; at = l.find(text, at + 1))
            ++n;
        return n;
    }
    const std::string& dir() const { return dir_.path(); }

  private:
    testsupport::TempDir dir_;
    std::string log_;
    int starts_ = 0;
    std::unique_ptr<testsupport::Background> proc_;
};

} // namespace unitboard
