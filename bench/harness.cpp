#include "bench/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {
namespace {

// fork + exec through the test support, which prepares everything before the fork.
pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::map<std::string, std::string>& extra_env, int in_fd, int out_fd,
            int err_fd) {
    testsupport::RunOptions opt;
    opt.cwd = cwd;
    opt.env = extra_env;
    return testsupport::spawn(argv, opt, in_fd, out_fd, err_fd);
}

double ts_s(const timespec& ts) {
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

} // namespace

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts_s(ts);
}

void sleep_s(double s) {
    if (s <= 0)
        return;
    timespec ts{time_t(s), long((s - double(time_t(s))) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- Child ----------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& argv, const std::string& cwd,
             const std::map<std::string, std::string>& env) {
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = spawn(argv, cwd, env, in_pipe[0], out_pipe[1], null_fd);
    close(null_fd);
    close(in_pipe[0]);
    close(out_pipe[1]);
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    if (clock_getcpuclockid(pid_, &cpu_clock_) != 0)
        throw std::runtime_error("no CPU clock for the child");
    reader_ = std::thread([this] { read_loop(); });
}

Child::~Child() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_fd_ >= 0)
        close(in_fd_);
    reader_.join();
    close(out_fd_);
}

void Child::read_loop() {
    char buf[65536];
    for (;;) {
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        double t = now_s();
        double cpu = cpu_s();
        std::lock_guard<std::mutex> lk(m_);
        if (n <= 0) {
            eof_ = true;
            cv_.notify_all();
            return;
        }
        raw_.append(buf, size_t(n));
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                partial_ += buf[i];
                continue;
            }
            if (!partial_.empty() && partial_.back() == '\r')
                partial_.pop_back();
            lines_.push_back({t, cpu, std::move(partial_)});
            partial_.clear();
        }
        cv_.notify_all();
    }
}

void Child::send(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(in_fd_, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += size_t(n);
    }
}

std::optional<Line> Child::wait_line(const std::string& prefix, double timeout_s, size_t from) {
    std::unique_lock<std::mutex> lk(m_);
    std::optional<Line> found;
    auto seek = [&] {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i].text.rfind(prefix, 0) == 0) {
                found = lines_[i];
                return true;
            }
        }
        from = lines_.size();
        return eof_;
    };
    cv_.wait_for(lk, std::chrono::duration<double>(timeout_s), seek);
    return found;
}

size_t Child::line_count() const {
    std::lock_guard<std::mutex> lk(m_);
    return lines_.size();
}

std::vector<Line> Child::lines() const {
    std::lock_guard<std::mutex> lk(m_);
    return lines_;
}

std::string Child::raw() const {
    std::lock_guard<std::mutex> lk(m_);
    return raw_;
}

double Child::cpu_s() const {
    timespec ts{};
    if (clock_gettime(cpu_clock_, &ts) != 0)
        return -1;
    return ts_s(ts);
}

long Child::vm_hwm_kib() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (f >> key) {
        if (key == "VmHWM:") {
            long kib = -1;
            f >> kib;
            return kib;
        }
        f.ignore(1 << 20, '\n');
    }
    return -1;
}

ExitInfo Child::wait_exit(double timeout_s) {
    ExitInfo info;
    double end = now_s() + timeout_s;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            info.exited = true;
            break;
        }
        if (now_s() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        sleep_s(0.005);
    }
    reaped_ = true;
    if (WIFEXITED(status))
        info.code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        info.code = 128 + WTERMSIG(status);
    return info;
}

// ---- Board ----------------------------------------------------------------------------

Board::Board(const std::string& exe, std::vector<std::string> args, const std::string& log_path,
             const std::string& work_dir)
    : log_path_(log_path), out_path_(log_path + ".out") {
    std::vector<std::string> argv = {exe, "--log", log_path, "--log-times"};
    argv.insert(argv.end(), args.begin(), args.end());
    int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = spawn(argv, "", {{"TMPDIR", work_dir}}, null_in, out, out);
    close(null_in);
    close(out);
}

std::map<std::string, std::string> Board::emulation() const {
    std::map<std::string, std::string> env;
    std::istringstream in(read_file(out_path_));
    for (std::string setting; in >> setting;)
        if (size_t eq = setting.find('='); eq != std::string::npos)
            env[setting.substr(0, eq)] = setting.substr(eq + 1);
    return env;
}

Board::~Board() {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 600; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        sleep_s(0.005);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::vector<LogLine> Board::log(const std::string& prefix) const {
    std::vector<LogLine> out;
    std::istringstream in(read_file(log_path_));
    std::string l;
    while (std::getline(in, l)) {
        size_t sp = l.find(' ');
        if (sp == std::string::npos)
            continue;
        LogLine ll{std::strtod(l.c_str(), nullptr), l.substr(sp + 1)};
        if (ll.text.rfind(prefix, 0) == 0)
            out.push_back(std::move(ll));
    }
    return out;
}

bool Board::wait_ready(double timeout_s) const {
    // An emulated board prints its settings before it logs READY.
    return wait_log("READY", 1, timeout_s).has_value();
}

std::optional<LogLine> Board::wait_log(const std::string& prefix, size_t n,
                                       double timeout_s) const {
    double end = now_s() + timeout_s;
    for (;;) {
        auto l = log(prefix);
        if (l.size() >= n)
            return l[n - 1];
        if (now_s() > end)
            return std::nullopt;
        sleep_s(0.002);
    }
}

// ---- files ----------------------------------------------------------------------------

void copy_file(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

std::string run_capture(const std::vector<std::string>& argv) {
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = spawn(argv, "", {}, null_fd, out_pipe[1], null_fd);
    close(null_fd);
    close(out_pipe[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_pipe[0], buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        out.append(buf, size_t(n));
    }
    close(out_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("command failed: " + argv[0]);
    return out;
}

} // namespace bench
