// The board's three ways onto the host's side of the device directory. Each runs the
// board until SIGINT or SIGTERM and returns the exit code.
#pragma once

#include "boardsim/board.h"

#include <string>

namespace board {

int run_serial(Board& b, const std::string& dir, int sigfd);
int run_usb(Board& b, const std::string& dir, int sigfd);
int run_hid(Board& b, const std::string& dir, int sigfd);

} // namespace board
