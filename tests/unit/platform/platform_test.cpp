// The stand-in under the product: the serial port against pseudo-terminals, events and
// threads, the console keyboard (read by the helper as a child), the handle table at exit.
#include "transport/uart/uart.h"

#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>

#include <atomic>
#include <thread>

namespace posix { // a pseudo-terminal keeps neither byte size nor parity: these are checked alone
void termios_to_dcb(const termios& tio, DCB& dcb);
bool dcb_to_termios(const DCB& dcb, termios& tio);
} // namespace posix

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::eventually;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The test plays the board or the user on the master side.
struct Pty {
    int master = -1, slave = -1;
    char path[128] = {};
    Pty() { openpty(&master, &slave, path, nullptr, nullptr); }
    ~Pty() { close(master), close(slave); }
    void send(const std::string& b) const {
        ASSERT_EQ(write(master, b.data(), b.size()), b.size());
    }
    std::string receive(std::chrono::milliseconds wait) const {
        std::string got;
        pollfd p{master, POLLIN, 0};
        char buf[256];
        for (ssize_t n; poll(&p, 1, int(wait.count())) > 0 && (n = read(master, buf, 256)) > 0;)
            got.append(buf, size_t(n)), wait = 20ms;
        return got;
    }
    termios settings() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
};

std::vector<int> fields(const DCB& d) {
    return {int(d.BaudRate), d.ByteSize, d.Parity, d.StopBits};
}
const std::vector<int> k115200_8N1 = {CBR_115200, 8, NOPARITY, ONESTOPBIT};

class Uart : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("LARKSPUR_DEVICES", devices.path().c_str(), 1);
        link("com4", pty.path);
        uart_handle = 0;
    }
    void TearDown() override {
        if (uart_handle != 0 && uart_handle != INVALID_HANDLE_VALUE)
            uart_close();
    }
    void link(const std::string& entry, const std::string& target) const {
        ASSERT_EQ(symlink(target.c_str(), devices.file(entry).c_str()), 0);
    }
    std::string open_uart(const std::string& port) { // the result and what it printed
        testing::internal::CaptureStdout();
        const int r = OpenUART(port.c_str());
        return std::to_string(r) + " " + testing::internal::GetCapturedStdout();
    }
    DWORD in_queue() {
        COMSTAT st{};
        EXPECT_TRUE(ClearCommError(uart_handle, nullptr, &st));
        return st.cbInQue;
    }
    std::vector<int> line() {
        DCB d{};
        EXPECT_TRUE(GetCommState(uart_handle, &d));
        return fields(d);
    }
    testsupport::TempDir devices;
    Pty pty;
};

TEST_F(Uart, OpenMakesTheLineRaw115200_8N1AndPassesBytesUnchanged) {
    termios t = pty.settings(); // another rate, two stop bits and stale input before
    cfsetspeed(&t, B9600);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    pty.send("stale\n");
    ASSERT_EQ(pty.receive(100ms), "stale\r\n"); // echoed: the line was cooked

    ASSERT_EQ(OpenUART("COM4"), 1);
    t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB), tcflag_t(CS8));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(line(), k115200_8N1);
    EXPECT_EQ(in_queue(), 0u) << "stale input purged";

    DWORD written = 0;
    ASSERT_EQ(uart_write("a\r\n\x03", 4, &written), 1);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty.receive(500ms), "a\r\n\x03") << "and nothing else went out";
    pty.send(std::string("\r\n\0\x7f", 4));
    char buf[4] = {};
    ASSERT_EQ(uart_read(4, buf), 1);
    EXPECT_EQ(std::string(buf, 4), std::string("\r\n\0\x7f", 4));

    pty.send("12345");
    ASSERT_TRUE(eventually([&] { return in_queue() == 5; }, 2s));
    EXPECT_TRUE(PurgeComm(uart_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(in_queue(), 5u) << "only RXCLEAR drops input";
    EXPECT_TRUE(PurgeComm(uart_handle, PURGE_RXCLEAR));
    EXPECT_EQ(in_queue(), 0u);
    EXPECT_FALSE(PurgeComm(uart_handle, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Uart, PortNames) {
    const std::string digits(120, '7'); // "\\.\COM", 120 digits and the zero fill the 128
    for (const auto& entry : {std::string("com19"), "com" + digits, "com" + digits + "7"})
        link(entry, pty.path);
    link("com5", devices.file("gone"));
    devices.write("plain", "x");
    link("com6", devices.file("plain"));
    for (const std::string& port : {std::string("COM19"), std::string("com4"), "COM" + digits}) {
        EXPECT_EQ(open_uart(port), "1 ");
        uart_close();
    }
    for (const std::string& port :
         std::vector<std::string>{"COM" + digits + "7", "COM250", "COM", "COMx", "COM4a", "COM 4",
                                  "COM-4", "COM5", "COM6"}) {
        EXPECT_EQ(open_uart(port), "0 OpenUART:open " + port + " failed.\n");
        EXPECT_EQ(uart_handle, INVALID_HANDLE_VALUE);
    }
}

// The real program fails after its open and exits with the port open: no crash at its exit.
TEST_F(Uart, PortIsExclusiveUntilClosedAndMayBeLeftOpenAtExit) {
    auto run_elsewhere = [&] {
        testsupport::RunOptions opt;
        opt.env["LARKSPUR_DEVICES"] = devices.path();
        auto r = testsupport::run({LARKSPUR_EXE, "-t", "egret", "-df", "no.inc", "-com", "4"}, opt);
        return r.out + std::to_string(r.exit_code);
    };
    ASSERT_EQ(OpenUART("COM4"), 1);
    HANDLE first = uart_handle;
    EXPECT_EQ(open_uart("COM4"), "0 OpenUART:open COM4 failed.\n");
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(run_elsewhere(), "OpenUART:open COM4 failed.\nOpen com4 failed!\n255");
    ASSERT_TRUE(CloseHandle(first));
    EXPECT_EQ(run_elsewhere(), "Open COM4 OK.\nOpen ddr init file no.inc failed.\n255");
    EXPECT_EQ(OpenUART("COM4"), 1);
}

TEST_F(Uart, ReadEndsAtTheTotalTimeoutTheGapAfterTheLastByteOrTheLastByte) {
    struct Case {
        COMMTIMEOUTS timeouts;
        std::vector<std::pair<std::chrono::milliseconds, std::string>> board;
        std::string got;
        double min_ms; // and at most 500 more
    } cases[] = {
        {{0, 100, 200, 0, 0}, {}, "", 600}, // silence: 200 + 4 x 100
        {TimeOuts, {{0ms, "\x01\x02"}}, "\x01\x02", 1000},
        {{1000, 0, 300, 0, 0}, {{0ms, "a"}}, "a", 300}, // the total ends a gap too
        {TimeOuts, {{100ms, "ab"}, {500ms, "cd"}}, "abcd", 600},
        {{0, 0, 0, 0, 0}, {{300ms, "ab"}, {300ms, "cd"}}, "abcd", 600}, // no timeouts
    };
    ASSERT_EQ(OpenUART("COM4"), 1);
    for (Case& c : cases) {
        ASSERT_TRUE(SetCommTimeouts(uart_handle, &c.timeouts));
        std::thread board([&] {
            for (const auto& [pause, bytes] : c.board)
                std::this_thread::sleep_for(pause), pty.send(bytes);
        });
        char buf[4] = {'k', 'k', 'k', 'k'};
        DWORD got = 99;
        const auto t0 = Clock::now();
        EXPECT_TRUE(ReadFile(uart_handle, buf, 4, &got, nullptr));
        const double ms = ms_since(t0);
        board.join();
        EXPECT_EQ(std::string(buf, 4), c.got + std::string(4 - c.got.size(), 'k'));
        EXPECT_EQ(got, c.got.size());
        EXPECT_GE(ms, c.min_ms - 5) << c.got;
        EXPECT_LT(ms, c.min_ms + 500) << c.got;
    }
    // A write the board does not take ends at the total write timeout, with what went out.
    COMMTIMEOUTS to = {0, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(uart_handle, &to));
    std::vector<char> big(1 << 20, 'w');
    DWORD put = 0;
    const auto t0 = Clock::now();
    EXPECT_TRUE(WriteFile(uart_handle, big.data(), DWORD(big.size()), &put, nullptr));
    EXPECT_TRUE(put > 0 && put < big.size()) << put;
    EXPECT_GE(ms_since(t0), 300 - 5);
    EXPECT_LT(ms_since(t0), 800);
}

TEST_F(Uart, LineSettingsMapBothWaysAndWhatATtyCannotTakeIsRefused) {
    const std::pair<DCB, tcflag_t> cases[] = {
        {{0, CBR_115200, 8, NOPARITY, ONESTOPBIT}, CS8},
        {{0, CBR_115200, 7, EVENPARITY, TWOSTOPBITS}, CS7 | PARENB | CSTOPB},
        {{0, CBR_115200, 6, ODDPARITY, ONESTOPBIT}, CS6 | PARENB | PARODD},
        {{0, CBR_115200, 5, NOPARITY, ONE5STOPBITS}, CS5 | CSTOPB},
    };
    for (const auto& [dcb, cflag] : cases) {
        termios t{};
        t.c_cflag = CREAD | CLOCAL | CRTSCTS | CSTOPB | PARODD;
        ASSERT_TRUE(posix::dcb_to_termios(dcb, t)) << int(dcb.ByteSize);
        EXPECT_EQ(t.c_cflag & ~tcflag_t(CBAUD), cflag | CREAD | CLOCAL | CRTSCTS);
        EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
        DCB back{};
        posix::termios_to_dcb(t, back);
        EXPECT_EQ(fields(back), fields(dcb));
    }
    ASSERT_EQ(OpenUART("COM4"), 1);
    for (DCB d : {DCB{0, 9600, 8, 0, 0}, DCB{0, 115200, 9, 0, 0}, DCB{0, 115200, 4, 0, 0},
                  DCB{0, 115200, 8, 3, 0}, DCB{0, 115200, 8, 0, 3}, DCB{0, 115200, 8, 0, 1},
                  DCB{0, 115200, 5, 0, 2}}) {
        EXPECT_FALSE(SetCommState(uart_handle, &d));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(line(), k115200_8N1);
    COMSTAT st{}; // the comm calls want a serial port
    SetLastError(0);
    EXPECT_FALSE(ClearCommError(INVALID_HANDLE_VALUE, nullptr, &st));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Uart, HangUpEndsAWaitingRead) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    std::thread board([this] {
        std::this_thread::sleep_for(200ms);
        close(std::exchange(pty.master, -1));
    });
    char buf[4];
    DWORD got = 99;
    const auto t0 = Clock::now();
    const std::clock_t cpu0 = std::clock();
    EXPECT_FALSE(ReadFile(uart_handle, buf, 4, &got, nullptr));
    board.join();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(ms_since(t0), 1000);
    for (int i = 0; i < 3; ++i) // later calls fail at once, without spinning
        EXPECT_FALSE(ReadFile(uart_handle, buf, 4, &got, nullptr));
    EXPECT_LT(ms_since(t0), 1500);
    EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.5);
    EXPECT_EQ(uart_write("x", 1, &got), 0);
}

struct Waiter {
    HANDLE event;
    std::atomic<int> woken{0};
};

unsigned __stdcall wait_once(void* p) {
    volatile char frame[64 * 1024]; // more stack than the 4 KiB asked for
    frame[0] = 1;
    auto* w = static_cast<Waiter*>(p);
    SetLastError(ERROR_GEN_FAILURE); // per thread: the starter's value stays
    if (WaitForSingleObject(w->event, 5000) == WAIT_OBJECT_0)
        w->woken += frame[0];
    return 0;
}

// Back-to-back signals on an auto-reset event once merged: two waiters, only one woken.
TEST(Sync, EachSignalReleasesWaitersAsTheEventKindSaysAndThreadsSignalTheirEnd) {
    struct Case {
        BOOL manual;
        int waiters, signals, woken;
        std::vector<DWORD> then; // successive waits of no time afterwards
    } const cases[] = {
        {FALSE, 3, 2, 2, {WAIT_TIMEOUT}},
        {FALSE, 0, 2, 0, {WAIT_OBJECT_0, WAIT_TIMEOUT}},
        {TRUE, 2, 1, 2, {WAIT_OBJECT_0, WAIT_OBJECT_0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.manual << " " << c.waiters << " " << c.signals);
        SetLastError(ERROR_FILE_NOT_FOUND);
        Waiter w{c.manual ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                          : CreateEventA(nullptr, FALSE, FALSE, nullptr)};
        std::vector<HANDLE> threads;
        for (int i = 0; i < c.waiters; ++i)
            threads.push_back(HANDLE(_beginthreadex(nullptr, 4096, wait_once, &w, 0, nullptr)));
        std::this_thread::sleep_for(100ms);
        for (HANDLE t : threads)
            EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
        for (int i = 0; i < c.signals; ++i)
            ASSERT_TRUE(SetEvent(w.event));
        EXPECT_TRUE(eventually([&] { return w.woken == c.woken; }, 2s));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(w.woken, c.woken);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << "the threads set their own";
        for (DWORD want : c.then)
            EXPECT_EQ(WaitForSingleObject(w.event, 0), want);
        ASSERT_TRUE(ResetEvent(w.event));
        EXPECT_EQ(WaitForSingleObject(w.event, 0), WAIT_TIMEOUT);
        for (HANDLE t : threads) {
            SetEvent(w.event); // the waiters left over
            EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "stays signalled";
            EXPECT_FALSE(SetEvent(t)) << "not an event";
            ASSERT_TRUE(CloseHandle(t));
            EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
            EXPECT_FALSE(CloseHandle(t));
        }
        CloseHandle(w.event);
    }
}

TEST(Sync, WaitsEndAtTheirTimeoutOrAtTheSignal) {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto start = Clock::now();
    std::thread setter([ev] { Sleep(400), SetEvent(ev); });
    for (DWORD ms : {0u, 30u, 250u}) {
        const auto t0 = Clock::now();
        EXPECT_EQ(WaitForSingleObject(ev, ms), WAIT_TIMEOUT);
        EXPECT_GE(ms_since(t0), ms - 0.5);
        EXPECT_LT(ms_since(t0), ms + 100.0) << ms;
    }
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(ms_since(start), 400 - 0.5);
    EXPECT_LT(ms_since(start), 500);
    setter.join();
    CloseHandle(ev);
}

TEST(Keys, OnATerminalLoneEscIsAKeySequencesAreDroppedUnechoedAndSettingsComeBack) {
    for (bool sigterm : {false, true}) {
        Pty pty;
        const termios before = pty.settings();
        testsupport::Background helper(
            {"/bin/sh", "-c", "exec \"$0\" keys 10000 <\"$1\"", PLATFORM_HELPER, pty.path});
        ASSERT_TRUE(helper.wait_for_log("ready", 5s)) << helper.log();
        EXPECT_EQ(pty.settings().c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ISIG));
        if (!sigterm) { // up arrow, F1, shift F5, Enter; then ESC on its own
            pty.send("a\x1b[Ab\x1bOPc\x1b[15;2~\r");
            ASSERT_TRUE(helper.wait_for_log("13 ", 3s)) << helper.log();
            std::this_thread::sleep_for(100ms);
            pty.send("\x1b");
            ASSERT_TRUE(eventually([&] { return !helper.running(); }, 5s));
            EXPECT_EQ(helper.log(), "ready\n97 98 99 13 27 ");
            EXPECT_EQ(pty.receive(100ms), "") << "nothing echoed";
        }
        EXPECT_EQ(helper.stop(), sigterm ? 128 + SIGTERM : 0);
        EXPECT_EQ(pty.settings().c_lflag, before.c_lflag);
        EXPECT_EQ(pty.settings().c_iflag, before.c_iflag);
    }
}

TEST(Keys, PipedBytesAreKeysAndTheEndOfInputGivesNone) {
    const std::vector<std::string> helper = {PLATFORM_HELPER, "keys", "300"};
    testsupport::TempDir dir;
    dir.write("k", "x\x1b");
    // Closed: a file the program opens later must not become its standard input.
    const std::vector<std::string> closed = {"/bin/sh", "-c", "exec \"$0\" keys 300 \"$1\" <&-",
                                             PLATFORM_HELPER, dir.file("k")};
    const std::tuple<std::vector<std::string>, std::string, bool, std::string> cases[] = {
        {helper, std::string("q\n\x1b[Bz\0\x1b[\n\x1bq", 12), false, "113 10 122 0 10 27 "},
        {helper, "", true, ""},  // /dev/null
        {helper, "", false, ""}, // a pipe closed at once
        {closed, "", true, ""},
    };
    for (const auto& [argv, input, null_input, keys] : cases) {
        testsupport::RunOptions opt;
        opt.stdin_data = input;
        opt.stdin_null = null_input;
        auto r = testsupport::run(argv, opt);
        EXPECT_EQ(r.exit_code, keys.empty() ? 1 : 0) << r.out; // 1: no ESC in time
        EXPECT_EQ(r.out, "ready\n" + keys);
    }
}

} // namespace
