// larkspur-board: virtual boards for larkspur, each served by a thread of its own.
#include "boardsim/board.h"
#include "boardsim/io.h"
#include "boardsim/log.h"
#include "boardsim/testbed.h"
#include "boardsim/transports.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using namespace board;

namespace {

struct Slot {
    Options opt;
    LogSink log;
    Board b;
    std::thread thread;
    int rc = 0;
};

void raise_fd(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

// Until a signal or the command's end says stop (signals go to the command while it runs),
// or a board ends by itself.
void supervise(int sigfd, int ended) {
    for (;;) {
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {ended, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents & POLLIN)
            return;
        for (int sig; (sig = signal_take(sigfd)) != 0;) {
            if (sig == SIGCHLD) {
                if (command_ended())
                    return;
            } else if (!command_signal(sig)) {
                return;
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Options> opts;
    std::string err = parse_options(argc, argv, opts);
    if (!err.empty()) {
        fprintf(stderr, "larkspur-board: %s\n\n%s", err.c_str(), usage_text().c_str());
        return 2;
    }
    const Options& first = opts.front();
    if (first.help) {
        fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (!first.write_images_dir.empty()) {
        err = write_images(first.write_images_dir, first.image_size);
        if (!err.empty()) {
            fprintf(stderr, "larkspur-board: %s\n", err.c_str());
            return 1;
        }
        return 0;
    }
    // The HID and USB boards are devices of the kernel's, emulated in a umockdev test bed.
    bool emulated = false, serial = false;
    for (const Options& o : opts)
        (o.transport == Transport::Uart ? serial : emulated) = true;
    if (emulated) {
        unsetenv("UMOCKDEV_DIR"); // the boards are their own bed, never inside another's
        err = testbed_reexec(argv);
        if (!err.empty()) {
            fprintf(stderr, "larkspur-board: %s\n", err.c_str());
            return 1;
        }
    }
    std::deque<Slot> slots;
    for (Options& o : opts) {
        Slot& s = slots.emplace_back();
        s.opt = std::move(o);
        s.log.times = s.opt.log_times;
        if (!log_open(s.log, s.opt.log_file)) {
            fprintf(stderr, "larkspur-board: cannot open the log %s\n", s.opt.log_file.c_str());
            return 1;
        }
    }
    log_use(&slots.front().log);
    const Options& common = slots.front().opt;
    std::string dir;
    if (serial) {
        dir = device_dir(common, err);
        if (dir.empty()) {
            log_error("%s", err.c_str());
            return 1;
        }
    }
    // Blocked before any other thread starts (the test bed's worker, the boards'), so that
    // they inherit the mask.
    int sigfd = signal_fd();
    int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int ended = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (sigfd < 0 || stop < 0 || ended < 0) {
        log_error("cannot take the signals");
        return 1;
    }
    if (emulated) {
        testbed_sweep();
        if (!testbed_create(err)) {
            log_error("%s", err.c_str());
            return 1;
        }
    }
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& s = slots[i];
        const Chip& chip = *find_chip(s.opt.target);
        board_init(s.b, s.opt, chip);
        s.b.index = i;
        s.thread = std::thread([&s, &dir, stop, ended] {
            log_use(&s.log);
            log_line("larkspur-board: %s over %s in %s", s.b.chip->name,
                     transport_name(s.opt.transport),
                     s.opt.transport != Transport::Uart ? testbed_env().c_str() : dir.c_str());
            s.rc = s.opt.transport == Transport::Uart  ? run_serial(s.b, dir, stop)
                   : s.opt.transport == Transport::Usb ? run_usb(s.b, dir, stop)
                                                       : run_hid(s.b, dir, stop);
            if (s.rc == 0)
                log_line("stopped");
            raise_fd(ended);
        });
    }
    std::vector<std::string> ready = ready_wait(slots.size(), ended);
    if (!ready.empty()) {
        if (emulated && common.command.empty())
            printf("%s\n", testbed_env().c_str());
        for (const std::string& line : ready)
            printf("%s\n", line.c_str());
        fflush(stdout);
        command_start(common.command);
        supervise(sigfd, ended);
    }
    raise_fd(stop);
    int rc = 0;
    for (Slot& s : slots) {
        s.thread.join();
        rc = rc ? rc : s.rc;
    }
    if (ready.empty())
        rc = rc ? rc : 1;
    if (emulated)
        testbed_destroy();
    // A command still running when the boards end (a board failed) ends with them.
    command_signal(SIGTERM);
    int command_rc = command_wait();
    return command_rc >= 0 ? command_rc : rc;
}
