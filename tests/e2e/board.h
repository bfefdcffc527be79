// A virtual board and a larkspur run against it, each in its own process, meeting in a
// private device directory. The run is the native build, or the Windows build under Wine
// when LARKSPUR_WINE_EXE names it.
#pragma once

#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

inline const char* wine_exe() {
    const char* w = std::getenv("LARKSPUR_WINE_EXE");
    return w && *w ? w : nullptr;
}

inline std::vector<std::string> larkspur_argv(const std::vector<std::string>& args) {
    const char* w = wine_exe();
    std::vector<std::string> argv =
        w ? std::vector<std::string>{"wine", w} : std::vector<std::string>{LARKSPUR_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

inline testsupport::RunResult run_larkspur(const std::vector<std::string>& args,
                                           testsupport::RunOptions opt = {}) {
    if (wine_exe()) {
        opt.env.emplace("WINEDEBUG", "-all");
        opt.timeout += std::chrono::seconds(60); // Wine starts slowly on a loaded machine
    }
    testsupport::RunResult r = testsupport::run(larkspur_argv(args), opt);
    // Windows' text mode writes CR LF; compare lines alike.
    for (size_t at; (at = r.out.find("\r\n")) != std::string::npos;)
        r.out.erase(at, 1);
    return r;
}

using namespace std::chrono_literals;

inline const std::string kBoardExe = LARKSPUR_BOARD_EXE;

// Splits at blanks; '' stands for an empty word.
inline std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        out.push_back(w == "''" ? "" : w);
    return out;
}

// The lines every run that downloads its image shows, and those of one that fails in it.
inline const std::string kLoading = "GATE_TYPE: DEVELOP\nImage loading...\n";
inline const std::string kLoaded = kLoading + "download Image to IRAM OK\n\n";
inline const std::string kDlFailed = "\ndownload Image to IRAM failed";
inline const std::string kSendFailed = "rom_write_image: sending file failed" + kDlFailed;
inline const std::string kRunning = "Running DDR test..., press \"ESC\" key to exit.";
// A run's lines up to the relay on each transport; a falcon run's after "<NAME> opened.".
inline const std::string kSerialRun = "Open COM7 OK.\n" + kLoaded + kRunning;
inline const std::string kEgretUsbRun = "OpenUSB() OK!\nUSB valid flag for egret set.\n" + kLoaded +
                                        "Re-open the egret device.\n" + kRunning;
inline const std::string kHeronUsbRun =
    "OpenUSB() OK!\n" + kLoaded + "Re-open the heron device.\n" + kRunning;
inline const std::string kFalconRun = kLoaded + "Re-open FALCON device.\n" + kRunning;

class Session {
  public:
    explicit Session(const std::string& image_size = "") {
        testsupport::RunResult r =
            testsupport::run(words(kBoardExe + " --write-images " + dir.path() +
                                   (image_size.empty() ? "" : " --image-size " + image_size)));
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }

    std::string devices() const { return dir.file("devices"); }
    std::string image(const std::string& target) const {
        return dir.file("larkspur-" + target + ".bin");
    }
    // The sample script, copied into the working directory: the -df value must begin
    // with a letter or digit, so runs name it relative.
    std::string example(const std::string& target) const {
        std::string name = target + ".inc";
        dir.write(name,
                  testsupport::read_file(std::string(LARKSPUR_SOURCE_DIR) + "/examples/" + name));
        return name;
    }

    // The command line for a board set up as board() sets it up: its target, its sample
    // script and its transport.
    std::vector<std::string> args_for(const std::string& setup) const {
        const std::vector<std::string> w = words(setup);
        const std::string port = w[1] == "uart" ? " -com 7" : w[1] == "usb" ? " -usb" : "";
        return words("-t " + (w[1] == "hid" ? "falcon" : w[0]) + " -df " + example(w[0]) + port);
    }

    // Starts a board, "target transport options...", and waits until its device is there. A
    // serial board is COM7 unless the options name another. A HID or USB board's device lives
    // in the board's own emulation of the kernel, which the runs then enter.
    testsupport::Process& board(const std::string& setup) {
        std::string n = std::to_string(boards.size());
        log_paths.push_back(dir.file("board" + n + ".log"));
        std::vector<std::string> w = words(setup);
        std::string line = kBoardExe + " --target " + w[0] + " --transport " + w[1] +
                           " --devices " + devices() + " --log " + log_paths.back() +
                           " --save-image " + dir.file("received" + n + ".bin");
        if (w[1] == "uart" && setup.find("--com") == std::string::npos)
            line += " --com 7";
        std::vector<std::string> argv = words(line);
        argv.insert(argv.end(), w.begin() + 2, w.end());
        // The emulation's directory goes with the session's.
        boards.push_back(std::make_unique<testsupport::Process>(
            argv, testsupport::RunOptions{.env = {{"TMPDIR", dir.path()}}}));
        const bool emulated = w[1] != "uart";
        EXPECT_TRUE(testsupport::eventually(
            [&] {
                return board_log(boards.size() - 1).find("READY") != std::string::npos &&
                       (!emulated || boards.back()->out().find('\n') != std::string::npos);
            },
            10s))
            << "board did not come up";
        if (emulated)
            emulation = words(boards.back()->out());
        else if (wine_exe())
            link_wine_port(board_lines("READY ", boards.size() - 1).at(0).substr(6));
        return *boards.back();
    }

    // Several boards in one larkspur-board process and one emulation, each with its own log
    // (board_log(first + k)); waits until the process says every one is there. The READY
    // lines it printed, in board order.
    std::vector<std::string> boards_together(const std::vector<std::string>& setups) {
        std::vector<std::string> argv = {kBoardExe, "--devices", devices()};
        for (const std::string& setup : setups) {
            if (&setup != &setups.front())
                argv.push_back("--board");
            log_paths.push_back(dir.file("board" + std::to_string(log_paths.size()) + ".log"));
            std::vector<std::string> w = words(setup);
            for (const std::string& a :
                 words("--target " + w[0] + " --transport " + w[1] + " --log " + log_paths.back()))
                argv.push_back(a);
            argv.insert(argv.end(), w.begin() + 2, w.end());
        }
        boards.push_back(std::make_unique<testsupport::Process>(
            argv, testsupport::RunOptions{.env = {{"TMPDIR", dir.path()}}}));
        std::vector<std::string> ready;
        EXPECT_TRUE(testsupport::eventually(
            [&] {
                ready.clear();
                for (const std::string& l : testsupport::lines(boards.back()->out()))
                    if (l.rfind("READY ", 0) == 0)
                        ready.push_back(l);
                return ready.size() == setups.size();
            },
            10s))
            << "boards did not come up: " << boards.back()->log();
        if (std::string out = boards.back()->out(); out.rfind("UMOCKDEV_DIR=", 0) == 0)
            emulation = words(out.substr(0, out.find('\n')));
        return ready;
    }

    std::string board_log(size_t i = 0) const { return testsupport::read_file(log_paths.at(i)); }
    std::vector<std::string> board_lines(const std::string& prefix, size_t i = 0) const {
        std::vector<std::string> out;
        for (const std::string& l : testsupport::lines(board_log(i)))
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }
    std::string received_image(size_t i = 0) const {
        return testsupport::read_file(dir.file("received" + std::to_string(i) + ".bin"));
    }

    testsupport::RunOptions larkspur_options() const {
        testsupport::RunOptions opt;
        opt.cwd = dir.path();
        opt.env["LARKSPUR_DEVICES"] = devices();
        if (wine_usb)
            return opt; // the bridge alone enters the emulation
        for (const std::string& setting : emulation)
            if (size_t eq = setting.find('='); eq != std::string::npos)
                opt.env[setting.substr(0, eq)] = setting.substr(eq + 1);
        // Wine's own processes are of both word sizes: each loads the preload of its own.
        if (const char* both = std::getenv("LARKSPUR_WINE_PRELOAD"); wine_exe() && both)
            opt.env["LD_PRELOAD"] = both;
        return opt;
    }

    // A run that ends by itself (a failure before the relay).
    testsupport::RunResult run(const std::vector<std::string>& args,
                               std::chrono::milliseconds timeout = 60s) {
        start_wine_usb(args);
        enter_wine();
        testsupport::RunOptions opt = larkspur_options();
        opt.timeout = timeout;
        return run_larkspur(args, opt);
    }

    // A run driven like a user at the console. Under Wine its standard input is a terminal:
    // only then does Wine give larkspur.exe a console to type keys into.
    std::unique_ptr<testsupport::Process> start(const std::vector<std::string>& args,
                                                bool stdin_pty = false) {
        start_wine_usb(args);
        enter_wine();
        testsupport::RunOptions opt = larkspur_options();
        opt.stdin_terminal = wine_exe() != nullptr;
        return std::make_unique<testsupport::Process>(larkspur_argv(args), opt, stdin_pty);
    }
    // Keys at the run's console: its standard input natively. Wine hands a program that polls
    // its keyboard nothing from standard input: there the key tool (tests/support/
    // wine_keys.cpp) types them into the console of the one larkspur.exe running in the prefix
    // (the Wine tests hold the wine resource lock).
    static void send(testsupport::Process& run, const std::string& keys) {
        if (!wine_exe())
            return run.send(keys);
        const char* tool = std::getenv("LARKSPUR_WINE_KEYS");
        ASSERT_TRUE(tool && *tool) << "LARKSPUR_WINE_KEYS names no key tool";
        ASSERT_TRUE(run.running()) << "larkspur.exe has ended";
        testsupport::RunOptions opt;
        opt.stdin_data = keys;
        opt.env.emplace("WINEDEBUG", "-all");
        opt.timeout = 60s; // Wine starts slowly on a loaded machine
        testsupport::RunResult r = testsupport::run({"wine", tool, "larkspur.exe"}, opt);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }

    // Under Wine a USB run's requests go through the test driver in the prefix to a bridge,
    // which serves them with the Linux build's stand-in driver in the board's emulation.
    // Wine stays out of the emulation: in it, Wine's own device services reach the emulated
    // USB device too. Without the bridge the driver refuses to open, as if it were not there.
    void start_wine_usb(const std::vector<std::string>& args) {
        const char* bridge = std::getenv("LARKSPUR_WINE_USB_BRIDGE");
        const char* dir = std::getenv("LARKSPUR_WINE_USB_DIR");
        if (!wine_exe() || !bridge || !*bridge || !dir || !*dir || wine_usb ||
            std::find(args.begin(), args.end(), "-usb") == args.end())
            return;
        testsupport::RunOptions opt;
        for (const std::string& setting : emulation)
            if (size_t eq = setting.find('='); eq != std::string::npos)
                opt.env[setting.substr(0, eq)] = setting.substr(eq + 1);
        wine_usb =
            std::make_unique<testsupport::Process>(std::vector<std::string>{bridge, dir}, opt);
        EXPECT_TRUE(wine_usb->wait_for_output("ready\n", 10s)) << wine_usb->log();
    }

    // Wine's device service takes the devices there when it starts, then follows their
    // uevents: under Wine a run with an emulated board needs a Wine started in the emulation.
    void enter_wine() {
        if (!wine_exe() || emulation.empty() || wine_entered || wine_usb)
            return;
        leave_wine();
        testsupport::RunOptions opt = larkspur_options();
        opt.env["WINEDEBUG"] = "-all";
        opt.timeout = 90s;
        EXPECT_EQ(testsupport::run({"wine", "cmd", "/c", "ver"}, opt).exit_code, 0);
        wine_entered = true;
    }
    void leave_wine() {
        testsupport::run({"wineserver", "-k"});
        testsupport::RunOptions wait;
        wait.timeout = 60s;
        testsupport::run({"wineserver", "-w"}, wait);
    }
    // Wine's COMn becomes a serial board's pseudo-terminal.
    void link_wine_port(const std::string& entry) {
        const char* prefix = std::getenv("WINEPREFIX");
        ASSERT_TRUE(prefix && *prefix) << "the Wine tests need their own WINEPREFIX";
        wine_links.push_back(prefix + ("/dosdevices/" + entry));
        unlink(wine_links.back().c_str());
        ASSERT_EQ(symlink(std::filesystem::read_symlink(dir.file("devices/" + entry)).c_str(),
                          wine_links.back().c_str()),
                  0);
    }
    ~Session() {
        if (wine_entered)
            leave_wine();
        for (const std::string& link : wine_links)
            unlink(link.c_str());
    }

    testsupport::TempDir dir;
    std::vector<std::unique_ptr<testsupport::Process>> boards;
    std::vector<std::string> log_paths;
    // What a run needs to reach the last emulated board: "UMOCKDEV_DIR=... LD_PRELOAD=...".
    std::vector<std::string> emulation;
    bool wine_entered = false;
    std::vector<std::string> wine_links;
    std::unique_ptr<testsupport::Process> wine_usb; // the bridge of a USB run under Wine
};

// The k-th acknowledgement word the board sent after the last frame it received, as the
// host prints it; a word never sent reads as zero.
inline std::string ack_after_last_frame(const Session& s, size_t k, size_t board = 0) {
    std::vector<std::string> acks;
    for (const std::string& l : testsupport::lines(s.board_log(board))) {
        if (l.rfind("FRAME ", 0) == 0)
            acks.clear();
        else if (l.rfind("ACK ", 0) == 0)
            acks.push_back(l.substr(4));
    }
    return k < acks.size() ? acks[k] : std::string("0x00000000");
}

// The expected lines with "{ack0}" and "{ack1}" standing for the board's first and second
// words after its last frame.
inline std::string with_acks(const Session& s, std::string text) {
    for (size_t k : {0, 1}) {
        const std::string key = "{ack" + std::to_string(k) + "}";
        if (size_t at = text.find(key); at != std::string::npos)
            text.replace(at, key.size(), ack_after_last_frame(s, k));
    }
    return text;
}

// A boot ROM command frame as the board logs it.
inline std::string frame(uint16_t code, uint32_t addr, uint8_t width, uint32_t len, uint32_t value,
                         uint8_t tail) {
    char line[64];
    std::snprintf(line, sizeof line, "FRAME %04x%08x%02x%08x%08x%02x", code, addr, width, len,
                  value, tail);
    return line;
}

} // namespace e2e
