// The serial transport and the serial port stand-in, against pseudo-terminals.
#include "transport/uart/uart.h"

#include "tests/unit/platform/test_util.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace platformtest;

// The stand-in's line-setting mapping (platform/posix/serial.cpp).
namespace posix {
void termios_to_dcb(const termios& tio, DCB& dcb);
bool dcb_to_termios(const DCB& dcb, termios& tio);
} // namespace posix

namespace {

HANDLE open_port(const std::wstring& name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool is_open(HANDLE h) {
    return h != 0 && h != INVALID_HANDLE_VALUE;
}

// What another process gets when it opens the port.
std::string open_elsewhere(const std::string& port, const DeviceDir& devices) {
    testsupport::RunOptions opt;
    opt.env["LARKSPUR_DEVICES"] = devices.dir.path();
    return testsupport::run({PLATFORM_HELPER, "open", port}, opt).out;
}

class Uart : public ::testing::Test {
  protected:
    void SetUp() override {
        uart_handle = 0;
        devices.link("com4", pty.path);
    }
    void TearDown() override {
        if (is_open(uart_handle))
            uart_close();
        uart_handle = 0;
    }
    DWORD in_queue() {
        COMSTAT st{};
        DWORD errors = 1;
        EXPECT_TRUE(ClearCommError(uart_handle, &errors, &st));
        EXPECT_EQ(errors, 0u);
        return st.cbInQue;
    }
    termios line() const {
        termios t{};
        tcgetattr(pty.slave, &t);
        return t;
    }

    DeviceDir devices;
    Pty pty;
};

TEST_F(Uart, OpenSetsLineRawAndEmptiesQueuesKeepingOtherSettings) {
    // The port starts at other settings, with hardware flow control and stale input.
    termios t = line();
    cfsetspeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    pty.send("stale\n");
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            int n = 0;
            ioctl(pty.slave, FIONREAD, &n);
            return n == 6;
        },
        2s));
    pty.receive(50ms); // the echo of the canonical line

    ASSERT_EQ(OpenUART("COM4"), 1);
    EXPECT_TRUE(is_open(uart_handle));
    EXPECT_EQ(std::wstring(name_buf), L"\\\\.\\COM4");

    t = line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u) << "flow control is not one of the four fields";
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    DCB d{};
    ASSERT_TRUE(GetCommState(uart_handle, &d));
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fOutxCtsFlow, 1u);
    COMMTIMEOUTS to{};
    ASSERT_TRUE(GetCommTimeouts(uart_handle, &to));
    EXPECT_EQ(to.ReadIntervalTimeout, 1000u);
    EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 500u);
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 5000u);
    EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 500u);
    EXPECT_EQ(to.WriteTotalTimeoutConstant, 2000u);

    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(uart_handle, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 0u);
    EXPECT_EQ(st.cbOutQue, 0u);
    EXPECT_EQ(pty.receive(50ms), "") << "nothing goes out on open";

    // Bytes pass unchanged both ways, CR and LF included.
    DWORD written = 0;
    ASSERT_EQ(uart_write("a\r\n\x03", 4, &written), 1);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty.receive(500ms), std::string("a\r\n\x03"));
    pty.send(std::string("\r\n\0\x7f", 4));
    char buf[4] = {};
    ASSERT_EQ(uart_read(4, buf), 1);
    EXPECT_EQ(std::string(buf, 4), std::string("\r\n\0\x7f", 4));
}

TEST_F(Uart, PortNames) {
    devices.link("com12", pty.path);
    ASSERT_EQ(OpenUART("COM12"), 1);
    EXPECT_EQ(std::wstring(name_buf), L"\\\\.\\COM12");
    uart_close();
    uart_handle = 0;

    HANDLE h = open_port(L"\\\\.\\com4");
    EXPECT_TRUE(is_open(h)) << "port names are case-insensitive";
    CloseHandle(h);

    devices.link("com5", devices.dir.file("gone"));
    devices.dir.write("plain", "x");
    devices.link("com6", devices.dir.file("plain"));
    for (const wchar_t* bad : {L"\\\\.\\COM", L"\\\\.\\COMx", L"\\\\.\\COM4a", L"\\\\.\\COM-4",
                               L"\\\\.\\COM 4", L"\\\\.\\COM5", L"\\\\.\\COM6"}) {
        SetLastError(0);
        EXPECT_EQ(open_port(bad), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(Uart, SecondOpenFailsWhileFirstIsOpen) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    HANDLE first = uart_handle;

    HANDLE second = open_port(L"\\\\.\\COM4");
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    DWORD err = GetLastError();
    EXPECT_TRUE(err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION) << err;
    EXPECT_EQ(capture_stdout([] { EXPECT_EQ(OpenUART("COM4"), 0); }),
              "OpenUART:open COM4 failed.\n");
    EXPECT_EQ(uart_handle, INVALID_HANDLE_VALUE);

    // Another process is kept out too, until the port is closed.
    EXPECT_EQ(open_elsewhere("COM4", devices), "fail 5\n");
    ASSERT_TRUE(CloseHandle(first));
    EXPECT_EQ(open_elsewhere("COM4", devices), "ok\n");
    HANDLE again = open_port(L"\\\\.\\COM4");
    EXPECT_TRUE(is_open(again));
    CloseHandle(again);
}

TEST_F(Uart, MissingPortPrintsOpenFailure) {
    int result = -1;
    std::string out = capture_stdout([&] { result = OpenUART("COM9"); });
    EXPECT_EQ(out, "OpenUART:open COM9 failed.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(uart_handle, INVALID_HANDLE_VALUE);
}

TEST_F(Uart, NameThatDoesNotFitThePathIsRefused) {
    // "\\.\" + 123 characters + the terminating zero fill the 128 exactly.
    const std::string fits = "COM" + std::string(120, '7');
    devices.link("com" + std::string(120, '7'), pty.path);
    ASSERT_EQ(OpenUART(fits.c_str()), 1);
    uart_close();
    uart_handle = 0;

    const std::string too_long = "COM" + std::string(121, '7');
    devices.link("com" + std::string(121, '7'), pty.path);
    int result = -1;
    std::string out = capture_stdout([&] { result = OpenUART(too_long.c_str()); });
    EXPECT_EQ(out, "OpenUART:open " + too_long + " failed.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(uart_handle, INVALID_HANDLE_VALUE);
}

TEST_F(Uart, ReadOfSilenceEndsAtTotalTimeout) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    auto t0 = Clock::now();
    EXPECT_EQ(uart_read(4, buf), 1);
    double ms = ms_since(t0);
    EXPECT_GE(ms, 7000 - 5);
    EXPECT_LT(ms, 7400);
    for (unsigned char b : buf)
        EXPECT_EQ(b, 0xEE);
}

TEST_F(Uart, ReadEndsAtGapAfterLastByte) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    pty.send("\x01\x02");
    auto t0 = Clock::now();
    EXPECT_EQ(uart_read(4, buf), 1);
    double ms = ms_since(t0);
    EXPECT_GE(ms, 1000 - 5);
    EXPECT_LT(ms, 1400);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);
    EXPECT_EQ(buf[2], 0xEE);
    EXPECT_EQ(buf[3], 0xEE);
}

TEST_F(Uart, FullReadReturnsWhenTheLastByteArrives) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    std::thread board([this] {
        std::this_thread::sleep_for(100ms);
        pty.send("ab");
        std::this_thread::sleep_for(500ms); // a gap below the interval timeout
        pty.send("cd");
    });
    char buf[4] = {};
    auto t0 = Clock::now();
    EXPECT_EQ(uart_read(4, buf), 1);
    double ms = ms_since(t0);
    board.join();
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_GE(ms, 590);
    EXPECT_LT(ms, 900);
}

TEST_F(Uart, OtherTimeoutSettings) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    // MAXDWORD interval, no total: what is queued, at once.
    COMMTIMEOUTS at_once = {0xFFFFFFFFu, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(uart_handle, &at_once));
    char buf[16];
    DWORD got = 99;
    auto t0 = Clock::now();
    ASSERT_TRUE(ReadFile(uart_handle, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);
    pty.send("xyz");
    ASSERT_TRUE(testsupport::eventually([&] { return in_queue() == 3; }, 2s));
    ASSERT_TRUE(ReadFile(uart_handle, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_LT(ms_since(t0), 500);

    // A write the board does not take ends at the total write timeout with success.
    std::vector<char> big(1 << 20, 'w');
    DWORD put = 0;
    t0 = Clock::now();
    EXPECT_TRUE(WriteFile(uart_handle, big.data(), static_cast<DWORD>(big.size()), &put, nullptr));
    double ms = ms_since(t0);
    EXPECT_GT(put, 0u);
    EXPECT_LT(put, big.size());
    EXPECT_GE(ms, 300 - 5);
    EXPECT_LT(ms, 700);
}

TEST_F(Uart, QueuesAndPurge) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    pty.send("12345");
    ASSERT_TRUE(testsupport::eventually([&] { return in_queue() == 5; }, 2s));
    EXPECT_TRUE(PurgeComm(uart_handle, PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_EQ(in_queue(), 5u) << "the abort flags leave the data alone";
    EXPECT_TRUE(PurgeComm(uart_handle, PURGE_RXCLEAR));
    EXPECT_EQ(in_queue(), 0u);
    EXPECT_FALSE(PurgeComm(uart_handle, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupComm(uart_handle, 4096, 4096));
}

TEST_F(Uart, LineSettingsReachTheTty) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    DCB d{};
    ASSERT_TRUE(GetCommState(uart_handle, &d));
    d.BaudRate = 9600;
    d.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(uart_handle, &d));
    termios t = line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    DCB back{};
    ASSERT_TRUE(GetCommState(uart_handle, &back));
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);

    // Settings a tty cannot take are refused and change nothing.
    for (auto change : std::vector<void (*)(DCB&)>{
             [](DCB& x) { x.BaudRate = 12345; }, [](DCB& x) { x.ByteSize = 9; },
             [](DCB& x) { x.Parity = 5; }, [](DCB& x) { x.StopBits = ONE5STOPBITS; }}) {
        DCB bad = d;
        bad.BaudRate = 57600;
        change(bad);
        EXPECT_FALSE(SetCommState(uart_handle, &bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    t = line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    // The comm calls want a serial handle.
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(GetCommState(ev, &d));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PurgeComm(ev, PURGE_RXCLEAR));
    COMSTAT st{};
    EXPECT_FALSE(ClearCommError(ev, nullptr, &st));
    CloseHandle(ev);
}

// A pseudo-terminal keeps neither byte size nor parity, so the mapping is checked alone.
TEST(LineSettings, MapBothWays) {
    struct Case {
        BYTE size, parity, stop;
        tcflag_t cflag;
    };
    const Case cases[] = {
        {8, NOPARITY, ONESTOPBIT, CS8},
        {7, EVENPARITY, TWOSTOPBITS, CS7 | PARENB | CSTOPB},
        {6, ODDPARITY, ONESTOPBIT, CS6 | PARENB | PARODD},
        {5, 3 /* mark */, ONE5STOPBITS, CS5 | PARENB | PARODD | CMSPAR | CSTOPB},
        {8, 4 /* space */, ONESTOPBIT, CS8 | PARENB | CMSPAR},
    };
    for (const Case& c : cases) {
        termios t{};
        t.c_cflag = CREAD | CLOCAL | CSTOPB | PARODD;
        DCB d{};
        d.BaudRate = 38400;
        d.ByteSize = c.size;
        d.Parity = c.parity;
        d.StopBits = c.stop;
        d.fOutxCtsFlow = 1;
        ASSERT_TRUE(posix::dcb_to_termios(d, t)) << int(c.size);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflag);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CRTSCTS), tcflag_t(CREAD | CLOCAL | CRTSCTS));
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
        DCB back{};
        posix::termios_to_dcb(t, back);
        EXPECT_EQ(back.BaudRate, 38400u);
        EXPECT_EQ(back.ByteSize, c.size);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop);
        EXPECT_EQ(back.fOutxCtsFlow, 1u);
    }
    termios t{};
    DCB two_with_five{};
    two_with_five.BaudRate = 9600;
    two_with_five.ByteSize = 5;
    two_with_five.StopBits = TWOSTOPBITS;
    EXPECT_FALSE(posix::dcb_to_termios(two_with_five, t));
}

TEST_F(Uart, HangUpEndsAWaitingRead) {
    ASSERT_EQ(OpenUART("COM4"), 1);
    std::thread board([this] {
        std::this_thread::sleep_for(200ms);
        pty.close_master();
    });
    char buf[4] = {'k', 'k', 'k', 'k'};
    DWORD got = 99;
    auto t0 = Clock::now();
    std::clock_t cpu0 = std::clock();
    BOOL ok = ReadFile(uart_handle, buf, 4, &got, nullptr);
    double ms = ms_since(t0);
    board.join();
    EXPECT_TRUE(!ok || got == 0);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(std::string(buf, 4), "kkkk");

    // Later calls fail or find nothing, at once and without spinning.
    t0 = Clock::now();
    for (int i = 0; i < 3; ++i) {
        ok = ReadFile(uart_handle, buf, 4, &got, nullptr);
        EXPECT_TRUE(!ok || got == 0);
    }
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.5);
    DWORD put = 0;
    EXPECT_EQ(uart_write("x", 1, &put), 0);
}

} // namespace
