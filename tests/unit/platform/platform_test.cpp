// The stand-in under the product: the serial port against pseudo-terminals, events and
// threads, the console keyboard (read by the helper as a child), the handle table at exit.
#include "transport/uart/uart.h"

#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>

#include <atomic>
#include <functional>
#include <thread>
#include <tuple>

namespace posix { // a pseudo-terminal keeps neither byte size nor parity: these are checked alone
void termios_to_dcb(const termios& tio, DCB& dcb);
bool dcb_to_termios(const DCB& dcb, termios& tio);
} // namespace posix

namespace {

using namespace std::literals;
using Clock = std::chrono::steady_clock;
using testsupport::eventually;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The error a call leaves; 0 when it succeeds.
DWORD error_of(BOOL ok) {
    return ok ? 0 : GetLastError();
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
    std::string receive(int ms) const {
        char buf[256];
        pollfd p{master, POLLIN, 0};
        ssize_t n = poll(&p, 1, ms) > 0 ? read(master, buf, 256) : 0;
        return std::string(buf, size_t(std::max<ssize_t>(n, 0)));
    }
    termios settings() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
};

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
    testsupport::TempDir devices;
    Pty pty;
};

TEST_F(Uart, OpenMakesACookedLineRawAndDropsStaleInput) {
    pty.send("stale\n");
    ASSERT_EQ(pty.receive(100), "stale\r\n"); // echoed: the line was cooked
    ASSERT_EQ(OpenUART("COM4"), 1);
    const termios t = pty.settings();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200)) << "a pseudo-terminal starts at 38400";
    COMSTAT st{};
    EXPECT_TRUE(ClearCommError(uart_handle, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 0u) << "stale input purged";
}

// The relay clears the transmit queue right after a key; on a pseudo-terminal the key is
// already the board's input and must stay there.
TEST_F(Uart, ATransmitPurgeOnAPseudoTerminalTakesNothingWritten) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    const std::string keys(4000, 'k');
    DWORD written = 0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(uart_write(keys.data(), DWORD(keys.size()), &written), 1);
        ASSERT_TRUE(PurgeComm(uart_handle, PURGE_TXCLEAR));
        ASSERT_TRUE(PurgeComm(uart_handle, PURGE_TXABORT | PURGE_RXABORT));
        size_t got = 0;
        for (std::string part; got < keys.size() && !(part = pty.receive(1000)).empty();)
            got += part.size();
        ASSERT_EQ(got, keys.size()) << "pass " << i;
    }
}

TEST_F(Uart, PortNames) {
    const std::string digits(120, '7'); // "\\.\COM", 120 digits and the zero fill the 128
    for (const auto& entry : {std::string("com19"), "com" + digits, "com" + digits + "7"})
        link(entry, pty.path);
    link("com5", devices.file("gone"));
    devices.write("plain", "x");
    link("com6", devices.file("plain"));
    for (const std::string& port : {"COM19"s, "com4"s, "COM" + digits}) {
        EXPECT_EQ(OpenUART(port.c_str()), 1) << port;
        uart_close();
    }
    for (const std::string& port :
         {"COM" + digits + "7", "COMx"s, "COM4a"s, "COM 4"s, "COM-4"s, "COM5"s, "COM6"s}) {
        EXPECT_EQ(OpenUART(port.c_str()), 0) << port;
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
    EXPECT_EQ(OpenUART("COM4"), 0);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(run_elsewhere(), "OpenUART:open COM4 failed.\nOpen com4 failed!\n255");
    ASSERT_TRUE(CloseHandle(first));
    EXPECT_EQ(run_elsewhere(), "Open COM4 OK.\nOpen ddr init file no.inc failed.\n255");
}

TEST_F(Uart, ReadEndsAtTheTotalTimeoutTheGapAfterTheLastByteTheLastByteOrAHangUp) {
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
    std::thread board([this] { Sleep(200), close(std::exchange(pty.master, -1)); });
    char buf[4];
    DWORD got = 99;
    const auto t0 = Clock::now();
    EXPECT_EQ(error_of(ReadFile(uart_handle, buf, 4, &got, nullptr)), ERROR_DEVICE_NOT_CONNECTED);
    board.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_EQ(uart_write("x", 1, &got), 0);
}

TEST_F(Uart, LineSettingsMapBothWaysAndWhatATtyCannotTakeIsRefused) {
    const std::pair<DCB, tcflag_t> cases[] = {
        {{0, CBR_115200, 7, EVENPARITY, TWOSTOPBITS}, CS7 | PARENB | CSTOPB},
        {{0, CBR_115200, 6, ODDPARITY, ONESTOPBIT}, CS6 | PARENB | PARODD},
        {{0, CBR_115200, 5, NOPARITY, ONE5STOPBITS}, CS5 | CSTOPB},
    };
    for (const auto& [dcb, cflag] : cases) {
        termios t{};
        t.c_cflag = CREAD | CLOCAL | CRTSCTS | CSTOPB | PARODD;
        ASSERT_TRUE(posix::dcb_to_termios(dcb, t)) << int(dcb.ByteSize);
        EXPECT_EQ(t.c_cflag & ~tcflag_t(CBAUD), cflag | CREAD | CLOCAL | CRTSCTS);
        DCB back{};
        posix::termios_to_dcb(t, back);
        EXPECT_EQ(std::tuple(back.ByteSize, back.Parity, back.StopBits),
                  std::tuple(dcb.ByteSize, dcb.Parity, dcb.StopBits));
    }
    ASSERT_EQ(OpenUART("COM4"), 1);
    SetLastError(0); // no DCB at all
    EXPECT_EQ(error_of(GetCommState(uart_handle, nullptr)), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(error_of(SetCommState(uart_handle, nullptr)), ERROR_INVALID_PARAMETER);
    for (DCB d : {DCB{0, 9600, 8, 0, 0}, DCB{0, 115200, 9, 0, 0}, DCB{0, 115200, 4, 0, 0},
                  DCB{0, 115200, 8, 3, 0}, DCB{0, 115200, 8, 0, 3}, DCB{0, 115200, 8, 0, 1},
                  DCB{0, 115200, 5, 0, 2}})
        EXPECT_EQ(error_of(SetCommState(uart_handle, &d)), ERROR_INVALID_PARAMETER);
}

HANDLE event;
std::atomic<int> woken;

unsigned __stdcall wait_once(void*) {
    woken += WaitForSingleObject(event, 5000) == WAIT_OBJECT_0;
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
        event = CreateEventA(nullptr, c.manual, FALSE, nullptr);
        woken = 0;
        std::vector<HANDLE> threads;
        for (int i = 0; i < c.waiters; ++i)
            threads.push_back(
                HANDLE(_beginthreadex(nullptr, 4096, wait_once, nullptr, 0, nullptr)));
        Sleep(100);
        for (int i = 0; i < c.signals; ++i)
            ASSERT_TRUE(SetEvent(event));
        EXPECT_TRUE(eventually([&] { return woken == c.woken; }, 2s));
        Sleep(100);
        EXPECT_EQ(woken, c.woken);
        for (DWORD want : c.then)
            EXPECT_EQ(WaitForSingleObject(event, 0), want);
        for (HANDLE t : threads) {
            SetEvent(event); // the waiters left over
            EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
            ASSERT_TRUE(CloseHandle(t));
            EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
        }
        CloseHandle(event);
    }
}

TEST(Keys, OnATerminalLoneEscIsAKeySequencesAreDroppedUnechoedAndSettingsComeBack) {
    for (bool sigterm : {false, true}) {
        Pty pty;
        const termios before = pty.settings();
        testsupport::Process helper(
            {"/bin/sh", "-c", "exec \"$0\" keys 10000 <\"$1\"", PLATFORM_HELPER, pty.path});
        ASSERT_TRUE(helper.wait_for_log("ready", 5s)) << helper.log();
        EXPECT_EQ(pty.settings().c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ISIG));
        if (!sigterm) { // up arrow, F1, shift F5, Enter, a sequence cut off; then ESC on its own
            pty.send("a\x1b[Ab\x1bOPc\x1b[15;2~\r\x1b[1;");
            ASSERT_TRUE(helper.wait_for_log("13 ", 3s)) << helper.log();
            Sleep(100);
            pty.send("d");
            ASSERT_TRUE(helper.wait_for_log("100 ", 3s)) << helper.log();
            pty.send("\x1b");
            ASSERT_TRUE(eventually([&] { return !helper.running(); }, 5s));
            EXPECT_EQ(helper.log(), "ready\n97 98 99 13 100 27 ");
            EXPECT_EQ(pty.receive(100), "") << "nothing echoed";
        }
        if (sigterm)
            kill(helper.pid(), SIGTERM);
        EXPECT_EQ(helper.wait_exit(3s), sigterm ? 128 + SIGTERM : 0);
        const termios after = pty.settings();
        EXPECT_TRUE(after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag);
    }
}

// The generic entry points and the comm calls refuse a handle whose kind cannot do what is
// asked, or none at all, and CreateFile refuses what it cannot name.
TEST(Sync, EntryPointsRefuseWhatTheyCannotServe) {
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE gone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(gone);
    char buf[4];
    DWORD n = 0;
    OVERLAPPED ov{};
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    COMSTAT stat{};
    const std::function<BOOL()> calls[] = {
        [&] { return SetupComm(ev, 4096, 4096); },
        [&] { return SetCommTimeouts(ev, &timeouts); },
        [&] { return GetCommState(ev, &dcb); },
        [&] { return SetCommState(ev, &dcb); },
        [&] { return PurgeComm(ev, PURGE_RXCLEAR); },
        [&] { return ClearCommError(ev, &n, &stat); },
        [&] { return ReadFile(ev, buf, 4, &n, nullptr); },
        [&] { return WriteFile(ev, buf, 4, &n, nullptr); },
        [&] { return DeviceIoControl(ev, 0, buf, 4, buf, 4, &n, nullptr); },
        [&] { return CancelIo(ev); },
        [&] { return GetOverlappedResult(ev, &ov, &n, FALSE); },
        [&] { return SetEvent(gone); },
        [&] { return ResetEvent(gone); },
        [&] { return CloseHandle(gone); }};
    for (const auto& call : calls) {
        SetLastError(0);
        EXPECT_EQ(error_of(call()), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(WaitForSingleObject(gone, 0), WAIT_FAILED);
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM\u00e9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << "a name no device can have";
    const std::string deep(200, 'h'); // a HID device path no socket address holds
    EXPECT_EQ(CreateFileA(deep.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\.\\LPT1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << "a device of no kind served";
    EXPECT_EQ(CreateFileA("\\\\.\\COM1", GENERIC_READ, 0, nullptr, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    CloseHandle(ev);
}

// Piped bytes are keys as they come, a control byte cuts an escape sequence short, and the
// end of the input (or none at all) gives no keys.
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
