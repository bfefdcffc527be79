// Running the real executables from tests and benchmarks: bounded in time, output captured,
// and every child gone with the test that started it.
#pragma once

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

struct RunResult {
    int exit_code = -1; // exit status, or 128 + signal when killed by a signal
    bool timed_out = false;
    std::string out, err; // standard output and error
    double seconds = 0;   // wall time
};

struct RunOptions {
    std::string cwd = "";                     // empty: the test's working directory
    std::map<std::string, std::string> env;   // added to (or replacing in) the environment
    std::string stdin_data = "";              // written to standard input, then closed
    bool stdin_null = true;                   // without stdin_data: /dev/null, else a closed pipe
    bool stdin_terminal = false;              // Process: standard input alone on a pseudo-terminal
    bool stdout_gone = false;                 // standard output a pipe whose reader has gone
    std::chrono::milliseconds timeout{20000}; // then SIGKILL and timed_out
};

// Waits until pred() is true, polling; false after the timeout.
template <class Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Starts argv[0] (looked up in PATH when it has no slash) in its own process group, with
// the given descriptors as its standard streams; the child keeps no other descriptor. It is
// killed when the thread that started it ends, so call it from the test's own thread.
int spawn(const std::vector<std::string>& argv, const RunOptions& opt, int in_fd, int out_fd,
          int err_fd);

// Runs this process anew under umockdev's preload (a sanitizer's runtime first, as that
// runtime requires) unless it already runs under it; false when that cannot be done.
bool rerun_under_umockdev();

// Runs argv[0] and waits for it.
RunResult run(const std::vector<std::string>& argv, const RunOptions& opt = {});

// A running process: standard input written on demand (a pipe, or with stdin_pty a
// pseudo-terminal for all three streams, whose screen output is err()), its output
// collected by a reader thread.
// The destructor kills it if it still runs.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const RunOptions& opt = {},
            bool stdin_pty = false, bool stdin_null = false);
    ~Process();

    void send(const std::string& bytes);
    void close_stdin();
    std::string out() const { return collected(0); }
    std::string err() const { return collected(1); }
    std::string log() const { return out() + err(); }
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const {
        return eventually([&] { return out().find(text) != std::string::npos; }, timeout);
    }
    bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
        return eventually([&] { return log().find(text) != std::string::npos; }, timeout);
    }
    // The exit code as in RunResult, or -1 when it did not end in time (it is killed then).
    int wait_exit(std::chrono::milliseconds timeout);
    bool running();
    int pid() const { return pid_; }
    // Collects the rest of the output once the process has ended.
    void finish();

  private:
    std::string collected(int stream) const;
    int pid_ = -1, status_ = -1, in_fd_ = -1;
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread reader_;
};

// A fresh directory below the system's temporary directory, removed with its contents by
// the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

std::string read_file(const std::string& path);

// Splits text into lines; "\r\n" counts as one line end, so Windows output compares alike.
std::vector<std::string> lines(const std::string& text);

} // namespace testsupport
