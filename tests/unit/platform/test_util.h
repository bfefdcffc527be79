// Pseudo-terminals, device directories and child processes for the platform tests.
#pragma once

#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

namespace platformtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A pseudo-terminal pair: the test plays the board on the master side.
struct Pty {
    int master = -1;
    int slave = -1; // kept open so the test can look at the line settings
    std::string path;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path = name;
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
    }
    ~Pty() {
        close_master();
        if (slave >= 0)
            close(slave);
    }
    void close_master() {
        if (master >= 0)
            close(master);
        master = -1;
    }
    void send(const std::string& bytes) const {
        if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("pty write failed");
    }
    // What the master side received within the time.
    std::string receive(std::chrono::milliseconds wait) const {
        std::string got;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(wait.count())) > 0 && (p.revents & POLLIN)) {
            char buf[256];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
            wait = 20ms;
        }
        return got;
    }
};

// A fresh device directory for this test, made the process's LARKSPUR_DEVICES.
struct DeviceDir {
    testsupport::TempDir dir;
    DeviceDir() { setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1); }
    void link(const std::string& entry, const std::string& target) const {
        if (symlink(target.c_str(), dir.file(entry).c_str()) != 0)
            throw std::runtime_error("symlink failed");
    }
};

// What fn prints on standard output.
inline std::string capture_stdout(const std::function<void()>& fn) {
    testsupport::TempDir tmp;
    std::string file = tmp.file("out");
    fflush(stdout);
    int saved = dup(1);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return testsupport::read_file(file);
}

// A child process with the given descriptor as standard input (-1: closed) and its
// standard output in a pipe. Killed by the destructor if still running.
class Child {
  public:
    Child(const std::vector<std::string>& argv, int stdin_fd) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            if (stdin_fd >= 0)
                dup2(stdin_fd, 0);
            else
                close(0);
            dup2(p[1], 1);
            execv(args[0], args.data());
            _exit(127);
        }
        close(p[1]);
        out_fd_ = p[0];
    }
    ~Child() {
        if (status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    const std::string& out() const { return out_; }

    // Reads output until it contains text or the time is up.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (out_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count())))
                return false;
        }
        return true;
    }

    // The raw wait status once the child has ended; -1 if it did not within the time.
    int wait(std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (status_ < 0 && Clock::now() < end) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = st;
            else if (!read_some(10))
                usleep(5000); // output closed: poll no longer waits
        }
        while (status_ >= 0 && read_some(0)) {
        }
        return status_;
    }

  private:
    bool read_some(int ms) {
        pollfd p{out_fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char buf[512];
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }

    int pid_ = -1;
    int out_fd_ = -1;
    int status_ = -1;
    std::string out_;
};

} // namespace platformtest
