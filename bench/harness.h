// What the wire benchmarks need to run larkspur against a virtual board: processes with
// timed output lines, the child's CPU clock and memory, and the board's timed log.
#pragma once

#include <sys/types.h>

#include "tests/support/process.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in seconds: the clock the board's --log-times lines carry.
double now_s();
void sleep_s(double s);

// A line of a child's standard output, stamped when its line feed arrived, with the
// child's CPU time (user + system, all threads) read at that moment.
struct Line {
    double t = 0;
    double cpu = 0;
    std::string text;
};

struct ExitInfo {
    bool exited = false; // false: it did not end in time and was killed
    int code = -1;
};

// A process with standard input on a pipe and standard output read by a thread of ours.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& cwd,
          const std::map<std::string, std::string>& env);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void send(const std::string& bytes);
    // The first line from index `from` on that begins with prefix, waiting up to timeout_s.
    std::optional<Line> wait_line(const std::string& prefix, double timeout_s, size_t from = 0);
    size_t line_count() const;
    std::vector<Line> lines() const;
    std::string raw() const; // everything read, line feeds and all
    double cpu_s() const;    // now, all threads
    long vm_hwm_kib() const; // peak resident set so far, from /proc
    ExitInfo wait_exit(double timeout_s);

  private:
    void read_loop();

    pid_t pid_ = -1;
    clockid_t cpu_clock_{};
    int in_fd_ = -1;
    int out_fd_ = -1;
    bool reaped_ = false;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Line> lines_;
    std::string partial_;
    std::string raw_;
    bool eof_ = false;
    std::thread reader_;
};

// A line of the board's log with its CLOCK_MONOTONIC time.
struct LogLine {
    double t = 0;
    std::string text;
};

// larkspur-board in the background, logging with times; stopped by the destructor. Its
// emulation directory goes below work_dir.
class Board {
  public:
    Board(const std::string& exe, std::vector<std::string> args, const std::string& log_path,
          const std::string& work_dir);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    bool wait_ready(double timeout_s) const;
    // The settings that put larkspur into the board's emulation (none for a serial board).
    std::map<std::string, std::string> emulation() const;
    std::vector<LogLine> log(const std::string& prefix = "") const;
    // Waits until at least n log lines begin with prefix; the n-th one.
    std::optional<LogLine> wait_log(const std::string& prefix, size_t n, double timeout_s) const;

  private:
    pid_t pid_ = -1;
    std::string log_path_;
    std::string out_path_;
};

// Temporary folders and file reads are the test support's.
using testsupport::read_file;
using testsupport::TempDir;
void copy_file(const std::string& from, const std::string& to);
// Runs a command to its end; its standard output. Throws when it fails.
std::string run_capture(const std::vector<std::string>& argv);

} // namespace bench
