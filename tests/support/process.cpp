#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> make_env(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string key = kv.substr(0, kv.find('='));
        if (!extra.count(key))
            env.push_back(kv);
    }
    for (const auto& [k, v] : extra)
        env.push_back(k + "=" + v);
    return env;
}

std::vector<char*> cstrs(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int decode_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

int spawn(const std::vector<std::string>& argv, const RunOptions& opt, int in_fd, int out_fd,
          int err_fd) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = make_env(opt.env);
    auto cargs = cstrs(args);
    auto cenv = cstrs(env);
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

RunResult run(const std::vector<std::string>& argv, const RunOptions& opt) {
    RunResult res;
    auto start = Clock::now();
    {
        Process p(argv, opt, false, opt.stdin_data.empty() && opt.stdin_null);
        p.send(opt.stdin_data);
        p.close_stdin();
        int code = p.wait_exit(opt.timeout);
        res.timed_out = code == -1;
        res.exit_code = res.timed_out ? 128 + SIGKILL : code;
        p.finish();
        res.out = p.out();
        res.err = p.err();
    }
    res.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return res;
}

struct Process::Shared {
    mutable std::mutex m;
    std::atomic<bool> stop{false};
    std::string out;
    std::string err;
};

Process::Process(const std::vector<std::string>& argv, const RunOptions& opt, bool stdin_pty,
                 bool stdin_null)
    : shared_(std::make_shared<Shared>()) {
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    int child_in = -1, child_err = err_pipe[1], err_read = err_pipe[0];
    if (stdin_pty) {
        // Standard error shares the terminal, as at a console: what a program shows only on
        // a terminal arrives as err(). Raw from the start, so nothing sent is echoed.
        termios raw{};
        cfmakeraw(&raw);
        int master = -1;
        if (openpty(&master, &child_in, nullptr, &raw, nullptr) != 0)
            throw std::runtime_error("pty failed");
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(child_in, F_SETFD, FD_CLOEXEC);
        in_fd_ = master;
        close(err_pipe[0]);
        close(err_pipe[1]);
        child_err = child_in;
        err_read = fcntl(master, F_DUPFD_CLOEXEC, 0);
    } else if (stdin_null) {
        child_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else {
        if (pipe2(in_pipe, O_CLOEXEC))
            throw std::runtime_error("pipe failed");
        child_in = in_pipe[0];
        in_fd_ = in_pipe[1];
    }
    pid_ = spawn(argv, opt, child_in, out_pipe[1], child_err);
    close(child_in);
    close(out_pipe[1]);
    if (!stdin_pty)
        close(err_pipe[1]);
    auto shared = shared_;
    int fds_in[2] = {out_pipe[0], err_read};
    // Reads until the pipes close, or until finish() once the child is gone (a grandchild
    // may hold them open).
    reader_ = std::thread([shared, fds_in] {
        pollfd fds[2] = {{fds_in[0], POLLIN, 0}, {fds_in[1], POLLIN, 0}};
        int open_fds = 2;
        char buf[4096];
        while (open_fds > 0) {
            int rc = poll(fds, 2, 50);
            if (rc < 0 && errno != EINTR)
                break;
            if (rc == 0 && shared->stop)
                break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    fds[i].fd = -1;
                    --open_fds;
                    continue;
                }
                std::lock_guard<std::mutex> lk(shared->m);
                (i == 0 ? shared->out : shared->err).append(buf, static_cast<size_t>(n));
            }
        }
        close(fds_in[0]);
        close(fds_in[1]);
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
    if (in_fd_ < 0)
        return;
    signal(SIGPIPE, SIG_IGN);
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(in_fd_, bytes.data() + off, bytes.size() - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
}

void Process::close_stdin() {
    if (in_fd_ >= 0)
        close(in_fd_);
    in_fd_ = -1;
}

std::string Process::out() const {
    std::lock_guard<std::mutex> lk(shared_->m);
    return shared_->out;
}

std::string Process::err() const {
    std::lock_guard<std::mutex> lk(shared_->m);
    return shared_->err;
}

bool Process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const {
    return eventually([&] { return out().find(text) != std::string::npos; }, timeout);
}

bool Process::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
    return eventually([&] { return log().find(text) != std::string::npos; }, timeout);
}

bool Process::running() {
    int st;
    if (status_ < 0 && waitpid(pid_, &st, WNOHANG) == pid_)
        status_ = decode_status(st);
    return status_ < 0;
}

int Process::wait_exit(std::chrono::milliseconds timeout) {
    if (eventually([&] { return !running(); }, timeout))
        return status_;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
    status_ = 128 + SIGKILL;
    return -1;
}

int Process::stop(std::chrono::milliseconds grace) {
    if (running())
        kill(pid_, SIGTERM);
    wait_exit(grace);
    return status_;
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
    std::ofstream f(file(name), std::ios::binary);
    f << content;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

} // namespace testsupport
