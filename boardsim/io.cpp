#include "boardsim/io.h"
#include "boardsim/log.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace board {

std::string device_dir(const Options& opt, std::string& err) {
    std::string dir = opt.devices;
    if (dir.empty()) {
        if (const char* d = getenv("LARKSPUR_DEVICES"); d && *d)
            dir = d;
        else if (const char* x = getenv("XDG_RUNTIME_DIR"); x && *x)
            dir = std::string(x) + "/larkspur-devices";
        else
            dir = "/tmp/larkspur-devices-" + std::to_string(getuid());
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back(); // "link/" would be the directory it leads to
    // Create each missing level, as mkdir -p does.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            err = "cannot create the device directory " + part + ": " + strerror(errno);
            return {};
        }
    }
    // Whoever else made or may write the directory could put a terminal of theirs where
    // the host looks for this board.
    struct stat st;
    const char* why = lstat(dir.c_str(), &st) != 0         ? strerror(errno)
                      : S_ISLNK(st.st_mode)                ? "it is a symbolic link"
                      : !S_ISDIR(st.st_mode)               ? "it is not a directory"
                      : st.st_uid != geteuid()             ? "it belongs to another user"
                      : (st.st_mode & (S_IWGRP | S_IWOTH)) ? "group or others may write to it"
                                                           : nullptr;
    if (why) {
        err = "the device directory " + dir + " is not used: " + why;
        return {};
    }
    return dir;
}

int signal_fd() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

int signal_take(int sigfd) {
    signalfd_siginfo si;
    return read(sigfd, &si, sizeof si) == ssize_t(sizeof si) ? int(si.ssi_signo) : 0;
}

namespace {
pid_t g_command = -1;
int g_command_status = -1; // once reaped

// As a shell gives a command's end.
int exit_value(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::mutex g_ready_m;
std::condition_variable g_ready_cv;
std::map<size_t, std::string> g_ready; // by board index
} // namespace

void command_start(const std::vector<std::string>& command) {
    if (command.empty() || g_command != -1)
        return;
    g_command = fork();
    if (g_command == 0) {
        // What the board blocks and ignores is the command's to have.
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_UNBLOCK, &all, nullptr);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv;
        for (const std::string& a : command)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        fprintf(stderr, "larkspur-board: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (g_command < 0)
        fprintf(stderr, "larkspur-board: cannot start %s: %s\n", command[0].c_str(),
                strerror(errno));
}

bool command_signal(int sig) {
    return g_command > 0 && g_command_status < 0 && kill(g_command, sig) == 0;
}

bool command_ended() {
    if (g_command <= 0 || g_command_status >= 0)
        return true;
    int status = 0;
    if (waitpid(g_command, &status, WNOHANG) != g_command)
        return false;
    g_command_status = exit_value(status);
    return true;
}

int command_wait() {
    if (g_command <= 0)
        return -1;
    while (g_command_status < 0) {
        int status = 0;
        if (waitpid(g_command, &status, 0) == g_command)
            g_command_status = exit_value(status);
        else if (errno != EINTR)
            return -1;
    }
    return g_command_status;
}

void ready_report(const Board& b) {
    std::lock_guard<std::mutex> lk(g_ready_m);
    g_ready[b.index] = std::string("READY ") + b.chip->name + " " +
                       transport_name(b.opt->transport) + " " + b.where;
    g_ready_cv.notify_all();
}

std::vector<std::string> ready_wait(size_t boards, int failed) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(g_ready_m);
            g_ready_cv.wait_for(lk, std::chrono::milliseconds(20),
                                [&] { return g_ready.size() == boards; });
            if (g_ready.size() == boards) {
                std::vector<std::string> lines;
                for (auto& [i, line] : g_ready)
                    lines.push_back(line);
                return lines;
            }
        }
        pollfd p{failed, POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            return {};
    }
}

Pacer make_pacer(double units_per_s, size_t burst) {
    Pacer p;
    p.per_s = units_per_s > 0 ? 1.0 / units_per_s : 0;
    p.burst = burst ? burst : 1;
    p.next = Clock::now();
    return p;
}

Pacer make_frame_pacer(double units_per_s) {
    Pacer p = make_pacer(units_per_s, 1);
    p.frames = true;
    return p;
}

size_t pacer_budget(const Pacer& p, Clock::time_point now) {
    if (p.per_s == 0)
        return SIZE_MAX;
    if (now < p.next)
        return 0;
    double ahead = std::chrono::duration<double>(now - p.next).count();
    double n = 1 + std::floor(ahead / p.per_s);
    return n >= double(p.burst) ? p.burst : size_t(n);
}

void pacer_spend(Pacer& p, size_t n, Clock::time_point now) {
    if (p.per_s == 0 || n == 0)
        return;
    auto per = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(p.per_s));
    if (p.frames) {
        if (now - p.next >= per)
            p.next = now;
        p.next += per * long(n);
        return;
    }
    auto earliest = now - per * long(p.burst - 1);
    if (p.next < earliest)
        p.next = earliest;
    p.next += per * long(n);
}

int pacer_wait_ms(const Pacer& p, Clock::time_point now) {
    if (p.per_s == 0 || now >= p.next)
        return 0;
    return ms_until(p.next, now);
}

Clock::time_point pacer_ready_at(const Pacer& p, Clock::time_point now) {
    return p.per_s == 0 ? now : p.next;
}

int ms_until(Clock::time_point t, Clock::time_point now) {
    if (t <= now)
        return 0;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - now).count();
    return int((us + 999) / 1000);
}

int poll_until(pollfd* fds, size_t n, Clock::time_point deadline) {
    if (deadline == Clock::time_point::max())
        return ppoll(fds, n, nullptr, nullptr);
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    long long ns = std::max<long long>(left.count(), 0);
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    return ppoll(fds, n, &ts, nullptr);
}

} // namespace board
