// larkspur-board: a virtual board for larkspur.
#include "boardsim/board.h"
#include "boardsim/io.h"
#include "boardsim/log.h"
#include "boardsim/transports.h"

#include <cstdio>
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
    if (!log_open(opt.log_file)) {
        fprintf(stderr, "larkspur-board: cannot open the log %s\n", opt.log_file.c_str());
        return 1;
    }
    log_with_times(opt.log_times);
    std::string dir = device_dir(opt, err);
    if (dir.empty()) {
        log_line("%s", err.c_str());
        return 1;
    }
    int sigfd = signal_fd();
    if (sigfd < 0) {
        log_line("cannot take the signals");
        return 1;
    }
    const Chip& chip = *find_chip(opt.target);
    log_line("larkspur-board: %s over %s in %s", chip.name, transport_name(opt.transport),
             dir.c_str());
    Board b;
    board_init(b, opt, chip);
    int rc = opt.transport == Transport::Uart  ? run_serial(b, dir, sigfd)
             : opt.transport == Transport::Usb ? run_usb(b, dir, sigfd)
                                               : run_hid(b, dir, sigfd);
    if (rc == 0)
        log_line("stopped");
    close(sigfd);
    return rc;
}
