// The event loop that the three transports share: the signals that end the board, what the
// host sent run as jobs when the device has taken it, and the timers that make the boot
// ROM's device leave, the test program's come, and the board unplug.
#pragma once

#include "boardsim/io.h"

#include <functional>
#include <vector>

namespace board {

constexpr Clock::time_point kNever = Clock::time_point::max();

struct Job {
    int id; // the transport's name for the host request it answers
    std::string msg;
    Clock::time_point due;
};

struct Loop {
    Board* b = nullptr;
    int stopfd = -1; // readable once the process stops its boards

    // What the transport sets up before run_loop.
    Console console = Console::None; // the console that brings a device back after departure
    bool departs = true;             // the boot ROM's device leaves after the start
    Pacer job_pace;                  // unlimited unless set

    pollfd own{-1, 0, 0}; // a descriptor of the transport's own (the line, the host's calls)
    std::deque<Job> jobs;
    Clock::time_point last_due{};

    bool present = true;    // the device is there for the host
    bool dead = false;      // unplugged for good
    bool rom_device = true; // the device there is the boot ROM's
    // kNever while not due (an optional trips GCC's maybe-uninitialized warning at -O3).
    Clock::time_point depart_at = kNever, back_at = kNever, unplug_at = kNever;

    // Before each poll: pass the board's output on; returns when to run again regardless
    // of I/O (kNever: no need).
    std::function<Clock::time_point(Clock::time_point now)> prepare;
    // After each poll: I/O on `own`.
    std::function<void(Clock::time_point now)> work;
    std::function<void(const Job&)> on_job;
    // The device goes away (the loop logs GONE) or comes back (false: it could not).
    std::function<void()> leave;
    std::function<bool()> arrive;
    // The departure waits while this says so.
    std::function<bool()> holding;
};

// Until the process stops its boards (or poll fails).
void run_loop(Loop& l);

// The boot ROM has started the test program: arm the departure and the unplug timers.
void loop_started(Loop& l);
void loop_leave(Loop& l);
// --unplug-after-bytes has struck.
void loop_unplug(Loop& l);

} // namespace board
