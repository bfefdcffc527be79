// The fault matrix's own cases: a board unplugged in the download and in the relay on each
// transport, a board too slow for the transport's waits, a board that sends garbage, every
// kind of bad script line, unreadable images, and the boot ROM exchanges whose frame cannot
// be sent. Each ends the way docs/reliability.md says, in bounded time, with nothing on the
// error stream (where a sanitizer would report).
#include "tests/e2e/board.h"
#include "tests/unit/hid/virtual_hid.h"

#include "platform/shared.h"
#include "romproto/romproto.h"
#include "transport/hid/hid.h"
#include "transport/hid/hid_ids.h"
#include "transport/transport.h"
#include "transport/uart/uart.h"
#include "transport/usbdriver/usbdriver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

using namespace e2e;
using testsupport::lines;
using testsupport::RunResult;

namespace {

const std::string kNotConnected = "Please make sure board connected and in serial download mode.";

void expect_stop(const RunResult& r, const std::vector<std::string>& want) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(lines(r.out), want);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "") << "nothing goes to the error stream";
}

// Waits for the relay, then for the board to vanish, checks the relay outlives that, and
// ends it with ESC.
void unplug_in_relay_then_esc(Session& s, testsupport::Interactive& run) {
    ASSERT_TRUE(run.wait_for_output("press \"ESC\" key to exit.\n", 60s)) << run.out();
    ASSERT_TRUE(testsupport::eventually(
        [&] { return s.board_log().find("UNPLUG") != std::string::npos; }, 20s))
        << s.board_log();
    testsupport::eventually([] { return false; }, 1500ms);
    EXPECT_FALSE(run.exited()) << "only ESC ends the relay";
    run.send("\x1b");
    EXPECT_EQ(run.wait_exit(10s), 0) << run.out();
    EXPECT_EQ(run.err(), "");
}

// ---- unplugged during the download ----------------------------------------------------

TEST(UnplugInDownload, UsbBulk) {
    Session s;
    s.start_board({"egret", "usb", {"--unplug-after-bytes", "1000"}});
    expect_stop(s.run({"-t", "egret", "-df", s.example("egret"), "-usb"}),
                {"OpenUSB() OK!", "USB valid flag for egret set.", "GATE_TYPE: DEVELOP",
                 "Image loading...", "rom_write_image: sending file failed",
                 "download Image to IRAM failed"});
}

TEST(UnplugInDownload, Hid) {
    Session s;
    s.start_board({"kestrel", "", {"--unplug-after-bytes", "1000"}});
    expect_stop(s.run({"-t", "falcon", "-df", s.example("kestrel")}),
                {"KESTREL opened.", "GATE_TYPE: DEVELOP", "Image loading...",
                 "Write to HidFALCON failed.", "rom_write_image: sending file failed",
                 "download Image to IRAM failed"});
}

// An image larger than the line's buffers: the write is still going when the board
// vanishes, and fails. (A small image can go into the buffers whole before the board is
// gone; then only the start's missing word shows it, as the older boot ROM acknowledges
// nothing after the image.)
TEST(UnplugInDownload, Serial) {
    Session s("106496");
    s.start_board({"heron", "uart", {"--unplug-after-bytes", "1000"}}, 7);
    RunResult r = s.run({"-t", "heron", "-df", s.example("heron"), "-com", "7"}, 30s);
    expect_stop(r, {"Open COM7 OK.", "GATE_TYPE: DEVELOP", "Image loading...", "Write COM failed.",
                    "rom_write_image: sending file failed", "download Image to IRAM failed"});
    EXPECT_FALSE(s.board_lines("UNPLUG").empty());
}

// ---- unplugged during the relay -------------------------------------------------------

TEST(UnplugInRelay, Serial) {
    Session s;
    s.start_board({"egret", "uart", {"--unplug-during-relay", "6000"}}, 7);
    auto run = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "7"});
    unplug_in_relay_then_esc(s, *run);
    EXPECT_NE(run->out().find("DDR test: PASS"), std::string::npos) << run->out();
}

TEST(UnplugInRelay, UsbBulk) {
    Session s;
    s.start_board({"heron", "usb", {"--unplug-during-relay", "6000"}});
    auto run = s.start({"-t", "heron", "-df", s.example("heron"), "-usb"});
    unplug_in_relay_then_esc(s, *run);
    EXPECT_NE(run->out().find("DDR test: PASS"), std::string::npos) << run->out();
}

TEST(UnplugInRelay, Hid) {
    Session s;
    s.start_board({"hobby", "", {"--unplug-during-relay", "6000"}});
    auto run = s.start({"-t", "falcon", "-df", s.example("hobby")});
    unplug_in_relay_then_esc(s, *run);
    EXPECT_NE(run->out().find("DDR test: PASS"), std::string::npos) << run->out();
}

// ---- too slow for the transport's waits -----------------------------------------------

// At 10 baud the frame alone takes 16 s; the answer's read gives up at 5000 + 4 x 500 ms.
TEST(TooSlow, SerialAnswerMissesTheReadTimeout) {
    Session s;
    s.start_board({"egret", "uart", {"--baud", "10"}}, 7);
    RunResult r = s.run({"-t", "egret", "-df", s.example("egret"), "-com", "7"}, 20s);
    expect_stop(r, {"Open COM7 OK.", "rom_check_gate: reading GATE ack failed 0x00000000",
                    "rom_check_gate() failed." + kNotConnected});
    EXPECT_GT(r.seconds, 6.5);
    EXPECT_LT(r.seconds, 12);
}

// 100 bytes a second: the 16-byte frame outlasts the 50 ms write timeout. A USB transfer
// leaves the platform's last error alone.
TEST(TooSlow, UsbFrameMissesTheWriteTimeout) {
    Session s;
    s.start_board({"heron", "usb", {"--usb-rate", "100"}});
    expect_stop(s.run({"-t", "heron", "-df", s.example("heron"), "-usb"}, 20s),
                {"OpenUSB() OK!",
                 "rom_check_gate: writing cmd to device failed and error code is 0",
                 "rom_check_gate() failed." + kNotConnected});
}

// One report per 1.5 s each way: a register write's report is not taken within 100 ms.
TEST(TooSlow, HidReportNotTakenInTime) {
    Session s;
    s.start_board({"kestrel", "", {"--hid-interval-us", "1500000"}});
    RunResult r = s.run({"-t", "falcon", "-df", s.example("kestrel")}, 20s);
    expect_stop(r, {"KESTREL opened.", "GATE_TYPE: DEVELOP", "Write to HidFALCON failed.",
                    "rom_write: writing to device failed", "ROM Write failed, addr: 0x020c4018",
                    "Write dcd failed."});
    EXPECT_LT(r.seconds, 10);
}

// ---- boards played by the test --------------------------------------------------------

bool read_exact(int fd, uint8_t* buf, size_t n, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t r = ::read(fd, buf + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// Gives up after two seconds: a host that stopped reading must not hold the test up.
void write_all(int fd, const std::string& bytes) {
    auto end = std::chrono::steady_clock::now() + 2s;
    size_t off = 0;
    while (off < bytes.size() && std::chrono::steady_clock::now() < end) {
        ssize_t r = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (r > 0) {
            off += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN)
            return;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
}

// A serial board on a pseudo-terminal: comN in the device directory names its slave, and
// play() runs on a thread of its own with the master.
class PtyBoard {
  public:
    PtyBoard(const std::string& devices, int com, std::function<void(int)> play = {}) {
        std::filesystem::create_directories(devices);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(::grantpt(master_), 0);
        EXPECT_EQ(::unlockpt(master_), 0);
        std::filesystem::create_symlink(::ptsname(master_), devices + "/com" + std::to_string(com));
        if (play)
            thread_ = std::thread([this, play] { play(master_); });
    }
    ~PtyBoard() {
        if (thread_.joinable())
            thread_.join();
        hang_up();
    }
    // The cable is pulled: the host's side of the line hangs up.
    void hang_up() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::thread thread_;
};

std::string word(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// Answers the frame with four bytes of garbage and then a flood of it.
TEST(Garbage, SerialBoard) {
    Session s;
    PtyBoard board(s.devices(), 5, [](int m) {
        uint8_t frame[16];
        if (!read_exact(m, frame, sizeof frame, 10s))
            return;
        std::string junk = word(0xC0FFEE11);
        for (int i = 0; i < 20000; ++i)
            junk += char(i * 131 + 7);
        write_all(m, junk);
    });
    expect_stop(s.run({"-t", "egret", "-df", s.example("egret"), "-com", "5"}, 20s),
                {"Open COM5 OK.", "rom_check_gate: reading GATE ack failed 0xc0ffee11",
                 "rom_check_gate() failed." + kNotConnected});
}

// Gate answered right, the download's GATE ack in garbage.
TEST(Garbage, SerialBoardInTheDownload) {
    Session s;
    PtyBoard board(s.devices(), 5, [](int m) {
        uint8_t frame[16];
        if (!read_exact(m, frame, sizeof frame, 10s))
            return;
        write_all(m, word(ROM_ACK_DEVELOP));
        if (!read_exact(m, frame, sizeof frame, 10s))
            return;
        write_all(m, word(0x371300ff) + std::string(100, '\x55'));
        std::vector<uint8_t> image(8192);
        read_exact(m, image.data(), image.size(), 10s);
    });
    expect_stop(s.run({"-t", "egret", "-df", s.example("egret"), "-com", "5"}, 30s),
                {"Open COM5 OK.", "GATE_TYPE: DEVELOP", "Image loading...",
                 "rom_write_image: reading GATE ack failed 0x371300ff",
                 "download Image to IRAM failed"});
}

// Malformed datagrams are dropped by the HID stand-in; a report of garbage is read as
// the word it holds.
TEST(Garbage, HidBoard) {
    Session s;
    std::filesystem::create_directories(s.devices());
    vhid::VirtualHid dev(s.devices(), "kestrel", FALCON_VENDOR_ID, KESTREL_PRODUCT_ID);
    std::thread board([&] {
        if (!dev.wait_reports(1, 10s))
            return;
        dev.send_raw({'I', 1, 2, 3});                // short report
        dev.send_raw(vhid::Bytes(200, 'I'));         // long report
        dev.send_raw({'A', 'A'});                    // bad acknowledgement
        dev.send_raw({'Z', 0x56, 0x78, 0x78, 0x56}); // unknown type
        vhid::Bytes junk(65);
        for (size_t i = 0; i < junk.size(); ++i)
            junk[i] = static_cast<uint8_t>(i * 37 + 1);
        dev.send_input(junk);
        dev.send_input(junk);
    });
    RunResult r = s.run({"-t", "falcon", "-df", s.example("kestrel")}, 20s);
    board.join();
    // The payload's first four bytes: 38, 75, 112, 149.
    expect_stop(r, {"KESTREL opened.", "rom_check_gate: reading GATE ack failed 0x95704b26",
                    "rom_check_gate() failed." + kNotConnected});
}

// ---- bad scripts and images -----------------------------------------------------------

class BadInput : public testing::Test {
  protected:
    void SetUp() override { session.start_board({"egret", "uart", {}}, 7); }
    RunResult run_with(const std::string& script) {
        session.dir.write("bad.inc", script);
        return session.run({"-t", "egret", "-df", "bad.inc", "-com", "7"});
    }
    void expect_nothing_sent() {
        testsupport::eventually([] { return false; }, 200ms);
        EXPECT_TRUE(session.board_lines("FRAME ").empty()) << session.board_log();
    }
    Session session;
};

TEST_F(BadInput, EveryKindOfBadScriptLine) {
    const std::string ok = "setmem /32 0x53fd4000 = 0x1\n";
    std::string too_many;
    for (int i = 0; i < 193; ++i)
        too_many += ok;
    const struct {
        std::string script;
        std::string line;
    } cases[] = {
        {ok + "setmem /32 0x53fd40001 = 0x1\n",
         "Syntax error in line 2: address is not a valid num."},
        {"\n\nsetmem /32\n", "Syntax error in line 3: address is not a valid num."},
        {"setmem /32 0x53fd4000 = 0x1G\n", "Syntax error in line 1: value is not a valid num."},
        {"setmem /32 0x53fd4000 = //0x1\n", "Syntax error in line 1: value is not a valid num."},
        {ok + "// " + std::string(260, 'c') + "\n", "Syntax error in line 2: line too long."},
        {"setmem " + std::string(64, 'w') + " 0x53fd4000 = 0x1\n",
         "Syntax error in line 1: word too long."},
        {"setmem /32 0x53fd4000 = 0x1 a b c d e f g h i j k l\n",
         "Syntax error in line 1: too many words."},
        {too_many, "The number of ddr init items out of the max value(192)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        expect_stop(run_with(c.script),
                    {"Open COM7 OK.", c.line, "The ddr init file has some syntax error."});
    }
    // A script that cannot be read: a directory opens, but reading it fails.
    std::filesystem::create_directory(session.dir.file("dir.inc"));
    expect_stop(session.run({"-t", "egret", "-df", "dir.inc", "-com", "7"}),
                {"Open COM7 OK.", "Read the init script error.",
                 "The ddr init file has some syntax error."});
    expect_nothing_sent();
}

TEST_F(BadInput, ImageThatCannotBeRead) {
    std::string path = session.image("egret");
    std::remove(path.c_str());
    std::filesystem::create_directory(path);
    expect_stop(session.run({"-t", "egret", "-df", session.example("egret"), "-com", "7"}),
                {"Open COM7 OK.", "Read the image file larkspur-egret.bin failed."});
    expect_nothing_sent();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// An image larger than the memory the process may have: the allocation fails.
TEST_F(BadInput, ImageLargerThanMemory) {
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address space limit";
    std::filesystem::resize_file(session.image("egret"), 0x7FFFFF00); // sparse
    testsupport::RunOptions opt = session.larkspur_options();
    std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -v 1000000 && exec \"$0\" \"$@\""};
    for (const std::string& a :
         larkspur_argv({"-t", "egret", "-df", session.example("egret"), "-com", "7"}))
        argv.push_back(a);
    expect_stop(testsupport::run(argv, opt), {"Open COM7 OK.", "malloc failed."});
    expect_nothing_sent();
}

// ---- exchanges whose frame cannot be sent ---------------------------------------------

std::string captured(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Every exchange over a serial line whose board has gone: the switch's line, then the
// exchange's own.
TEST(FrameNotSent, EveryExchangeOnAHungUpLine) {
    testsupport::TempDir dir;
    setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1);
    PtyBoard board(dir.path(), 3);
    target_id = TARGET_EGRET;
    use_usb = 0;
    ASSERT_EQ(OpenUART("COM3"), 1);
    board.hang_up();

    uint8_t gate = 0;
    std::string out = captured([&] { EXPECT_EQ(rom_check_gate(&gate), 0u); });
    EXPECT_TRUE(
        std::regex_match(out, std::regex("Write COM failed\\.\nrom_check_gate: writing cmd "
                                         "to device failed and error code is [1-9][0-9]*\n")))
        << out;
    EXPECT_EQ(captured([] { EXPECT_EQ(rom_write(0x53fd4000, 1), 0u); }),
              "Write COM failed.\nrom_write: writing to device failed\n");
    const dcd_node nodes[] = {{0x53fd4000, 1}};
    EXPECT_EQ(captured([&] { EXPECT_EQ(write_dcd(nodes, 1), 0u); }),
              "Write COM failed.\nrom_write: writing to device failed\n"
              "ROM Write failed, addr: 0x53fd4000\n");
    std::vector<uint8_t> image(2048, 0x5A);
    EXPECT_EQ(
        captured([&] { EXPECT_EQ(rom_write_image(image.data(), 2048, 0xF8006000, 0xAA), 0u); }),
        "Write COM failed.\nrom_write_image: writing cmd to device failed\n");
    EXPECT_EQ(captured([] { rom_jump(); }),
              "Write COM failed.\nrom_exec: writing cmd to device failed\n");
    uint8_t buf[4];
    EXPECT_EQ(captured([&] { EXPECT_EQ(rom_read(0xF8006000, buf, 4), 0u); }),
              "Write COM failed.\nrom_write: writing to device failed\n");
    dev_close();
    EXPECT_EQ(uart_handle, nullptr);
}

// The memory read's GATE ack in garbage.
TEST(Garbage, MemoryReadAck) {
    testsupport::TempDir dir;
    setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1);
    PtyBoard board(dir.path(), 3, [](int m) {
        uint8_t frame[16];
        if (read_exact(m, frame, sizeof frame, 10s))
            write_all(m, word(0x11223344));
    });
    target_id = TARGET_HERON;
    use_usb = 0;
    ASSERT_EQ(OpenUART("COM3"), 1);
    uint8_t buf[8] = {};
    EXPECT_EQ(captured([&] { EXPECT_EQ(rom_read(0x1FFE6000, buf, sizeof buf), 0u); }),
              "rom_read: reading GATE ack failed: 0x11223344\n");
    dev_close();
}

// Over HID a frame counts as sent only once the device has taken its report.
TEST(FrameNotSent, HidReportNeverTaken) {
    testsupport::TempDir dir;
    setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1);
    vhid::VirtualHid dev(dir.path(), "merlin", FALCON_VENDOR_ID, MERLIN_PRODUCT_ID);
    dev.withhold_acks_from(0);
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID), 1);
    target_id = TARGET_MERLIN;
    use_usb = 1;
    uint8_t gate = 0;
    std::string out = captured([&] { EXPECT_EQ(rom_check_gate(&gate), 0u); });
    EXPECT_TRUE(std::regex_match(out, std::regex("Write to HidFALCON failed\\.\nrom_check_gate: "
                                                 "writing cmd to device failed and error code is "
                                                 "[0-9]+\n")))
        << out;
    EXPECT_EQ(captured([] { rom_jump(); }),
              "Write to HidFALCON failed.\nrom_exec: writing cmd to device failed\n");
    dev_close();
}

// ---- the USB driver layer -------------------------------------------------------------

TEST(DriverFaults, RequestWithoutADriverHandle) {
    VersionRec rec{};
    EXPECT_EQ(DriverIoctl(DRV_IOCTL_VERSION, INVALID_HANDLE_VALUE, &rec, sizeof rec, false),
              DRV_NO_HANDLE);
}

std::atomic<int> g_attaches{0};
uint32_t count_attach(DeviceCtx*, DeviceInfo*, void*) {
    ++g_attaches;
    return 1;
}

// The device list's lock held for longer than its 30 s wait: a list operation gives up
// with DRV_TIMEOUT and leaves the list alone, and an attach that cannot be listed is
// dropped without a callback.
TEST(DriverFaults, ListLockNotHadWithinItsWait) {
    Session s;
    setenv("LARKSPUR_DEVICES", s.devices().c_str(), 1);
    EventTable table{count_attach, nullptr, nullptr, nullptr};
    MatchEntry m{FALCON_VENDOR_ID, 0x0110, {}}; // the egret board's USB IDs
    DriverCtx* conn = nullptr;
    ASSERT_EQ(DriverOpen(&conn, &m, 1, &table, 1), DRV_OK);
    ASSERT_EQ(OsEventWait(device_list_lock, 1), DRV_OK); // held from here on
    s.start_board({"egret", "usb", {}});

    DeviceCtx other{};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceListAdd(&other), DRV_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 29s);
    // The wait thread met the same lock for the board's attach, a moment later.
    testsupport::eventually([] { return false; }, 2s);
    EXPECT_EQ(OsEventSet(device_list_lock), DRV_OK);
    testsupport::eventually([] { return false; }, 500ms);
    EXPECT_EQ(device_list, nullptr);
    EXPECT_EQ(g_attaches.load(), 0);
    DriverClose(conn);
}

} // namespace
