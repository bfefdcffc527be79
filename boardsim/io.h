// What the three transports share: the device directory, the signals that end the
// board, the command it runs, and pacing.
#pragma once

#include "boardsim/board.h"

#include <poll.h>
#include <string>
#include <vector>

namespace board {

// The device directory (created when missing); empty and a message on failure.
std::string device_dir(const Options& opt, std::string& err);

// SIGINT, SIGTERM, SIGHUP and SIGCHLD arrive through this descriptor (they are blocked
// otherwise).
int signal_fd();
// The signal read from it, 0 when none was pending.
int signal_take(int sigfd);

// The command given after "--", started once every board's devices are there.
void command_start(const std::vector<std::string>& command);
// Passes a signal on to the command; false when none runs.
bool command_signal(int sig);
// True once the command has ended (reaped; its exit value kept), or when there is none.
bool command_ended();
// The command's exit value as a shell gives it; -1 without one.
int command_wait();

// A board's devices are there: its line for standard output is kept for ready_wait.
void ready_report(const Board& b);
// Waits until `boards` boards have reported or `failed` is readable (a board ended before
// it got there). The READY lines in board order; empty when not all came.
std::vector<std::string> ready_wait(size_t boards, int failed);

// Spreads units (bytes, reports) over time: at most one per `per` on average.
struct Pacer {
    double per_s = 0; // 0: no limit
    Clock::time_point next{};
    size_t burst = 1;    // units that may go at once after a pause
    bool frames = false; // one unit per frame, as USB schedules reports
};
Pacer make_pacer(double units_per_s, size_t burst);
// One unit per frame of 1/units_per_s. Frames follow each other back to back while units
// keep coming, so a unit that the board takes up a little late (its own wake-up delay)
// does not push every later frame back; after a pause the first unit opens a new frame.
Pacer make_frame_pacer(double units_per_s);
size_t pacer_budget(const Pacer& p, Clock::time_point now);
void pacer_spend(Pacer& p, size_t n, Clock::time_point now);
// Milliseconds until the pacer allows a unit again (0: now).
int pacer_wait_ms(const Pacer& p, Clock::time_point now);
// When the pacer allows a unit again (now or earlier: at once).
Clock::time_point pacer_ready_at(const Pacer& p, Clock::time_point now);

int ms_until(Clock::time_point t, Clock::time_point now);
// poll() until the deadline, to the microsecond (Clock::time_point::max(): none). A paced
// unit that waited out a whole-millisecond poll timeout would go late by up to a
// millisecond, which is the board's overhead, not the line's.
int poll_until(pollfd* fds, size_t n, Clock::time_point deadline);

} // namespace board
