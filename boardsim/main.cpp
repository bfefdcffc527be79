// larkspur-board: a virtual board for larkspur.
#include "boardsim/board.h"
#include "boardsim/io.h"
#include "boardsim/log.h"
#include "boardsim/testbed.h"
#include "boardsim/transports.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace board;

int main(int argc, char** argv) {
    Options opt;
    std::string err = parse_options(argc, argv, opt);
    if (!err.empty()) {
        fprintf(stderr, "larkspur-board: %s\n\n%s", err.c_str(), usage_text().c_str());
        return 2;
    }
    if (opt.help) {
        fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (!opt.write_images_dir.empty()) {
        err = write_images(opt.write_images_dir, opt.image_size);
        if (!err.empty()) {
            fprintf(stderr, "larkspur-board: %s\n", err.c_str());
            return 1;
        }
        return 0;
    }
    // The HID and USB boards are devices of the kernel's, emulated in a umockdev test bed.
    const bool emulated = opt.transport != Transport::Uart;
    if (emulated) {
        unsetenv("UMOCKDEV_DIR"); // a board is its own bed, never inside another's
        err = testbed_reexec(argv);
        if (!err.empty()) {
            fprintf(stderr, "larkspur-board: %s\n", err.c_str());
            return 1;
        }
    }
    if (!log_open(opt.log_file)) {
        fprintf(stderr, "larkspur-board: cannot open the log %s\n", opt.log_file.c_str());
        return 1;
    }
    log_with_times(opt.log_times);
    std::string dir = emulated ? std::string() : device_dir(opt, err);
    if (!emulated && dir.empty()) {
        log_line("%s", err.c_str());
        return 1;
    }
    // Blocked before the test bed's worker thread starts, so that it inherits the mask.
    int sigfd = signal_fd();
    if (sigfd < 0) {
        log_line("cannot take the signals");
        return 1;
    }
    if (emulated) {
        if (!testbed_create(err)) {
            log_line("%s", err.c_str());
            return 1;
        }
        if (opt.command.empty()) {
            printf("%s\n", testbed_env().c_str());
            fflush(stdout);
        }
    }
    const Chip& chip = *find_chip(opt.target);
    log_line("larkspur-board: %s over %s in %s", chip.name, transport_name(opt.transport),
             emulated ? testbed_env().c_str() : dir.c_str());
    Board b;
    board_init(b, opt, chip);
    int rc = opt.transport == Transport::Uart  ? run_serial(b, dir, sigfd)
             : opt.transport == Transport::Usb ? run_usb(b, dir, sigfd)
                                               : run_hid(b, dir, sigfd);
    if (emulated)
        testbed_destroy();
    if (rc == 0)
        log_line("stopped");
    close(sigfd);
    int command_rc = command_wait();
    return command_rc >= 0 ? command_rc : rc;
}
