#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace testsupport {

int spawn(const std::vector<std::string>& argv, const RunOptions& opt, int in_fd, int out_fd,
          int err_fd) {
    // Everything the child needs is made before the fork: after it only exec is safe.
    std::vector<std::string> args = argv, env;
    for (char** e = environ; *e; ++e)
        if (std::string kv = *e; !opt.env.count(kv.substr(0, kv.find('='))))
            env.push_back(kv);
    for (const auto& [k, v] : opt.env)
        env.push_back(k + "=" + v);
    std::vector<char*> cargs, cenv;
    for (auto [from, to] : {std::pair{&args, &cargs}, std::pair{&env, &cenv}}) {
        for (std::string& s : *from)
            to->push_back(s.data());
        to->push_back(nullptr);
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // The child goes with the test however the test ends (a crash, ctest's timeout kill);
        // a parent already gone before this line is caught by the getppid check.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        setpgid(0, 0);
        // As from a shell's pipeline, whatever this process (or ctest) ignores.
        if (opt.stdout_gone)
            signal(SIGPIPE, SIG_DFL);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        environ = cenv.data();
        execvp(cargs[0], cargs.data());
        _exit(127);
    }
    return pid;
}

bool rerun_under_umockdev() {
    constexpr char kPreload[] = "libumockdev-preload.so.0";
    const char* now = getenv("LD_PRELOAD");
    if (now && strstr(now, kPreload))
        return true;
    std::smatch runtime; // a sanitizer's, which must come first
    const std::string maps = read_file("/proc/self/maps");
    const bool sanitized =
        std::regex_search(maps, runtime, std::regex("/\\S*/lib[at]san\\.so\\S*"));
    setenv("LD_PRELOAD", ((sanitized ? runtime.str() + ":" : "") + kPreload).c_str(), 1);
    std::string args = read_file("/proc/self/cmdline");
    std::vector<char*> argv;
    for (size_t at = 0; at < args.size(); at += std::strlen(&args[at]) + 1)
        argv.push_back(&args[at]);
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    return false;
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& opt) {
    auto start = std::chrono::steady_clock::now();
    Process p(argv, opt, false, opt.stdin_data.empty() && opt.stdin_null);
    p.send(opt.stdin_data);
    p.close_stdin();
    const bool timed_out = p.wait_exit(opt.timeout) == -1;
    p.finish();
    return {p.wait_exit(0ms), timed_out, p.out(), p.err(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

struct Process::Shared {
    mutable std::mutex m;
    std::atomic<bool> stop{false};
    std::string out[2]; // standard output, standard error
};

Process::Process(const std::vector<std::string>& argv, const RunOptions& opt, bool stdin_pty,
                 bool stdin_null)
    : shared_(std::make_shared<Shared>()) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    int child_in = -1;
    if (stdin_pty || opt.stdin_terminal) {
        if (openpty(&in_fd_, &child_in, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("pty failed");
        fcntl(in_fd_, F_SETFD, FD_CLOEXEC);
        fcntl(child_in, F_SETFD, FD_CLOEXEC);
    } else if (stdin_null) {
        child_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else {
        if (pipe2(in_pipe, O_CLOEXEC))
            throw std::runtime_error("pipe failed");
        child_in = in_pipe[0];
        in_fd_ = in_pipe[1];
    }
    if (stdin_pty) {
        // All three streams on one terminal in its usual settings (echo, line editing), as
        // at a console: what the screen receives arrives as err().
        close(err_pipe[0]);
        close(err_pipe[1]);
        err_pipe[0] = fcntl(in_fd_, F_DUPFD_CLOEXEC, 0);
        err_pipe[1] = fcntl(child_in, F_DUPFD_CLOEXEC, 0);
    }
    if (opt.stdout_gone)
        close(std::exchange(out_pipe[0], -1)); // before the child can write a byte
    pid_ = spawn(argv, opt, child_in, stdin_pty ? err_pipe[1] : out_pipe[1], err_pipe[1]);
    for (int fd : {child_in, out_pipe[1], err_pipe[1]})
        close(fd);
    // Reads until the pipes close, or until finish() once the child is gone (a grandchild
    // may hold them open).
    reader_ =
        std::thread([shared = shared_, fds = std::array{pollfd{out_pipe[0], POLLIN, 0},
                                                        pollfd{err_pipe[0], POLLIN, 0}}]() mutable {
            char buf[4096];
            for (int open_fds = (fds[0].fd >= 0) + (fds[1].fd >= 0); open_fds > 0;) {
                int rc = poll(fds.data(), 2, 50);
                if ((rc < 0 && errno != EINTR) || (rc == 0 && shared->stop))
                    break;
                for (int i = 0; i < 2; ++i) {
                    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    ssize_t n = read(fds[i].fd, buf, sizeof buf);
                    if (n <= 0) {
                        close(std::exchange(fds[i].fd, -1));
                        --open_fds;
                        continue;
                    }
                    std::lock_guard<std::mutex> lk(shared->m);
                    shared->out[i].append(buf, static_cast<size_t>(n));
                }
            }
            for (pollfd& p : fds)
                if (p.fd >= 0)
                    close(p.fd);
        });
}

Process::~Process() {
    if (running())
        wait_exit(0ms);
    close_stdin();
    finish();
}

void Process::finish() {
    shared_->stop = true;
    if (reader_.joinable())
        reader_.join();
}

void Process::send(const std::string& bytes) {
    signal(SIGPIPE, SIG_IGN);
    for (size_t off = 0; in_fd_ >= 0 && off < bytes.size();) {
        ssize_t n = write(in_fd_, bytes.data() + off, bytes.size() - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
}

void Process::close_stdin() {
    if (in_fd_ >= 0)
        close(std::exchange(in_fd_, -1));
}

std::string Process::collected(int stream) const {
    std::lock_guard<std::mutex> lk(shared_->m);
    return shared_->out[stream];
}

bool Process::running() {
    int st;
    if (status_ < 0 && waitpid(pid_, &st, WNOHANG) == pid_)
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_ < 0;
}

int Process::wait_exit(std::chrono::milliseconds timeout) {
    if (eventually([&] { return !running(); }, timeout))
        return status_;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    status_ = 128 + SIGKILL;
    return -1;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/larkspur-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
}

std::string read_file(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        size_t cut = end > at && end < text.size() && text[end - 1] == '\r' ? end - 1 : end;
        out.push_back(text.substr(at, cut - at));
        at = end + 1;
    }
    return out;
}

} // namespace testsupport
