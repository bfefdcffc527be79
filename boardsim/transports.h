// The board's three ways onto the host's side of the device directory. Each runs the
// board until stopfd is readable and returns the exit code.
#pragma once

#include "boardsim/board.h"

#include <string>

namespace board {

int run_serial(Board& b, const std::string& dir, int stopfd);
int run_usb(Board& b, const std::string& dir, int stopfd);
int run_hid(Board& b, const std::string& dir, int stopfd);

} // namespace board
