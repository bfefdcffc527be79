// The event loop that the three transports share: the signals that end the board, the
// listening socket and its peers, their messages run as jobs, and the timers that make
// the boot ROM's device leave, the test program's come, and the board unplug.
#pragma once

#include "boardsim/io.h"

#include <functional>
#include <vector>

namespace board {

constexpr Clock::time_point kNever = Clock::time_point::max();

struct Job {
    int fd; // the peer that sent it; it may have gone by the time the job runs
    std::string msg;
    Clock::time_point due;
};

struct Loop {
    Board* b = nullptr;
    int sigfd = -1;

    // What the transport sets up before run_loop.
    Console console = Console::None; // the console that brings a device back after departure
    bool departs = true;             // the boot ROM's device leaves after the start
    bool drain_on_departure = false; // its peers get what is queued for them first
    size_t max_message = 0;
    const char* peer_gone_line = nullptr; // logged when a peer goes
    Pacer job_pace;                       // unlimited unless set

    std::string path; // of the listening socket
    int lfd = -1;
    std::vector<Peer> peers;
    pollfd own{-1, 0, 0}; // a descriptor of the transport's own (the serial line)
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
    std::function<void(Peer&)> on_connect;
    // How long the device takes over a message before the next one (none when empty).
    std::function<Clock::duration(const std::string& msg)> transfer_time;
    std::function<void(const Job&)> on_job;
    // The device goes away (the loop logs GONE) or comes back (false: it could not).
    std::function<void()> leave;
    std::function<bool()> arrive;
    // The departure waits while this says so.
    std::function<bool()> holding;
};

// Until SIGINT or SIGTERM (or poll fails).
void run_loop(Loop& l);

// The boot ROM has started the test program: arm the departure and the unplug timers.
void loop_started(Loop& l);
void loop_leave(Loop& l);
// --unplug-after-bytes has struck.
void loop_unplug(Loop& l);

void broadcast(Loop& l, const std::string& msg);
void send_to(Loop& l, int fd, const std::string& msg);
// How far the slowest peer is behind, in bytes.
size_t lag(const Loop& l);
// Closes and removes the listening socket and every peer.
void close_socket(Loop& l);

} // namespace board
