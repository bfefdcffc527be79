// The HID class stand-in and the HID transport. The stand-in's request handling is driven
// through its own device-side entry (hid_deliver); the transport runs against the virtual
// board's HID device, or a socket that only says hello where the board cannot.
#include "platform/posix/hid.h"
#include "romproto/romproto.h"
#include "tests/unit/usb/board.h"
#include "transport/hid/hid.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

Bytes hello(uint16_t vid, uint16_t pid, uint16_t in_len, uint16_t out_len) {
    return {'H',
            uint8_t(vid),
            uint8_t(vid >> 8),
            uint8_t(pid),
            uint8_t(pid >> 8),
            uint8_t(in_len),
            uint8_t(in_len >> 8),
            uint8_t(out_len),
            uint8_t(out_len >> 8)};
}

Bytes msg(char type, Bytes body) {
    body.insert(body.begin(), uint8_t(type));
    return body;
}

bool signalled(HANDLE ev, DWORD ms = 2000) {
    return WaitForSingleObject(ev, ms) == WAIT_OBJECT_0;
}

std::string narrow(const WCHAR* w) {
    std::string s;
    for (; *w; ++w)
        s.push_back(char(*w));
    return s;
}

long ms_since(Clock::time_point t0) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A handle as the stand-in makes it for a device with reports of 9 bytes; the test speaks
// for the device.
struct StandIn : ::testing::Test {
    HANDLE h = posix::hid_create_unconnected(hello(1, 2, 9, 9).data(), 9, FILE_FLAG_OVERLAPPED);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED os{};
    Bytes buf = Bytes(9, 0xEE);
    DWORD n = 0;
    void SetUp() override {
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        os.hEvent = ev;
    }
    void TearDown() override {
        CloseHandle(h);
        CloseHandle(ev);
    }
    void deliver(const Bytes& m) { posix::hid_deliver(h, m.data(), m.size()); }
    bool read() { return ReadFile(h, buf.data(), 9, nullptr, &os); }
    bool write() { return WriteFile(h, buf.data(), 9, nullptr, &os); }
};

TEST_F(StandIn, ReadsPendCompleteAndCancelWithoutLosingAReport) {
    EXPECT_FALSE(ReadFile(h, buf.data(), 8, nullptr, &os)); // shorter than a report
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(read());
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &os, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    // Malformed or unknown messages change nothing.
    for (const Bytes& junk : {Bytes{'I', 1, 2}, Bytes(11, 'I'), Bytes{'A', 0}, Bytes{'A'},
                              hello(1, 2, 9, 9), Bytes{'Z', 1}, Bytes{}})
        deliver(junk);
    EXPECT_FALSE(signalled(ev, 0));
    deliver(msg('I', {3, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(signalled(ev, 0));
    EXPECT_TRUE(GetOverlappedResult(h, &os, &n, FALSE));
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(buf, (Bytes{3, 1, 2, 3, 4, 5, 6, 7, 8}));

    // A cancelled read takes no report; buffered reports complete at once, in order.
    EXPECT_FALSE(read());
    EXPECT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &os, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    for (uint8_t id : {1, 2})
        deliver(msg('I', Bytes(9, id)));
    for (uint8_t id : {1, 2}) {
        ResetEvent(ev);
        EXPECT_TRUE(read());
        EXPECT_TRUE(signalled(ev, 0));
        EXPECT_EQ(buf, Bytes(9, id));
    }
    // A read that completed before the cancel came stays done.
    EXPECT_FALSE(read());
    deliver(msg('I', Bytes(9, 7)));
    CancelIo(h);
    EXPECT_TRUE(GetOverlappedResult(h, &os, &n, TRUE));
    EXPECT_EQ(buf, Bytes(9, 7));
}

TEST_F(StandIn, AWriteCompletesOnItsOwnAcknowledgement) {
    EXPECT_FALSE(WriteFile(h, buf.data(), 8, nullptr, &os));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    deliver({'A'}); // nothing waits for it
    EXPECT_FALSE(write());
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(signalled(ev, 50));
    deliver({'A'});
    ASSERT_TRUE(signalled(ev, 0));
    EXPECT_TRUE(GetOverlappedResult(h, &os, &n, FALSE));
    EXPECT_EQ(n, 9u);
    // A cancelled write that went out still owns the device's next 'A'.
    write();
    CancelIo(h);
    EXPECT_FALSE(GetOverlappedResult(h, &os, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    write();
    deliver({'A'});
    EXPECT_FALSE(signalled(ev, 50));
    deliver({'A'});
    EXPECT_TRUE(signalled(ev, 0));
    EXPECT_TRUE(GetOverlappedResult(h, &os, &n, FALSE));
    // Close ends what is in flight.
    write();
    CloseHandle(h);
    EXPECT_TRUE(signalled(ev, 0));
    EXPECT_EQ(os.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadFile(h, buf.data(), 9, nullptr, &os));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(StandIn, SynchronousReadWaitsForTheReport) {
    HANDLE s = posix::hid_create_unconnected(hello(1, 2, 9, 9).data(), 9, 0);
    std::thread device([&] {
        std::this_thread::sleep_for(100ms);
        posix::hid_deliver(s, msg('I', Bytes(9, 4)).data(), 10);
    });
    EXPECT_TRUE(ReadFile(s, buf.data(), 9, &n, nullptr));
    device.join();
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(buf, Bytes(9, 4));
    CloseHandle(s);
}

// The device end of hid-<name> sockets that say hello and nothing else: connection i
// gets hellos[i], the last one repeating.
class HelloOnly {
  public:
    HelloOnly(const std::string& path, std::vector<Bytes> hellos) {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listen(fd_, 8);
        thread_ = std::thread([this, hellos] {
            std::vector<int> conns;
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) {
                const Bytes& m = hellos[std::min(conns.size(), hellos.size() - 1)];
                send(c, m.data(), m.size(), MSG_NOSIGNAL);
                conns.push_back(c);
            }
            for (int c : conns)
                close(c);
        });
    }
    ~HelloOnly() {
        shutdown(fd_, SHUT_RDWR); // ends the accept
        thread_.join();
        close(fd_);
    }

  private:
    int fd_ = -1;
    std::thread thread_;
};

void expect_closed() {
    EXPECT_EQ(hid_handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_read_event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_in_report, nullptr);
    EXPECT_EQ(hid_out_report, nullptr);
    EXPECT_EQ(hid_interface_detail, nullptr);
}

TEST(HidDevices, EnumeratedInNameOrderAndOpenedOnlyWithReportsOfTwoBytes) {
    unitboard::Board board;
    const Bytes good = hello(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID, 65, 65);
    HelloOnly b(board.dir() + "/hid-b", {good}), a(board.dir() + "/hid-a", {good});
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    std::vector<std::string> paths;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD need = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr));
        std::vector<uint64_t> mem(need / 8 + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(mem.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need - 1, nullptr, nullptr));
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr));
        paths.push_back(narrow(detail->DevicePath));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{board.dir() + "/hid-a", board.dir() + "/hid-b"}));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));

    // Reports need the ID byte and one more; a device whose real open fails is named.
    struct Case {
        std::vector<Bytes> hellos;
        const char* out;
    } cases[] = {
        {{hello(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID, 1, 65)}, ""},
        {{hello(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID, 65, 1)}, ""},
        {{hello(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID, 65, 65), {'X'}},
         "Failed to open the device for wr/rd.\n"},
    };
    for (const Case& c : cases) {
        HelloOnly m(board.dir() + "/hid-m", c.hellos);
        CaptureStdout();
        EXPECT_EQ(hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID), 0);
        EXPECT_EQ(GetCapturedStdout(), c.out);
        expect_closed();
        unlink((board.dir() + "/hid-m").c_str());
    }
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
    EXPECT_EQ(narrow(hid_interface_detail->DevicePath), paths[0]);
    hid_close();
}

// The transport against a kestrel board's boot ROM: a GATE query (report ID 1) is answered
// by two words, each in an input report of its own.
struct HidTransport : ::testing::Test {
    unitboard::Board board;
    Bytes buf = Bytes(100, 0xEE);
    void open(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {"--target", "kestrel"};
        args.insert(args.end(), options.begin(), options.end());
        board.start(args);
        CaptureStdout();
        ASSERT_EQ(hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID), 0);
        ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
        EXPECT_EQ(GetCapturedStdout(), "");
    }
    int query_gate() {
        rom_command cmd;
        rom_build_command(&cmd, ROM_CMD_EXEC, 0, 0, 0, 0, 0);
        DWORD written = 0;
        return hid_write(cmd.bytes.data(), 16, &written);
    }
    void TearDown() override {
        hid_close();
        expect_closed();
    }
};

TEST_F(HidTransport, WritesGoInReportsWithTheLastIdAndReadsTakeOneReport) {
    open();
    hid_set_report_id(7);
    hid_set_report_id(1);
    ASSERT_EQ(query_gate(), 1);
    EXPECT_TRUE(testsupport::eventually(
        [&] { return board.count("FRAME 05050000000000000000000000000000\n") == 1; }, 2s));
    ASSERT_EQ(hid_read(buf.data(), 2), 1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), (Bytes{0x56, 0x78, 0xEE}));
    // The rest of that report is gone; the next read takes the whole next payload.
    ASSERT_EQ(hid_read(buf.data(), 100), 1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 6), (Bytes{0xF0, 0xF0, 0xF0, 0xF0, 0, 0}));
    EXPECT_EQ(Bytes(buf.begin() + 64, buf.end()), Bytes(36, 0xEE));

    hid_set_report_id(2);
    DWORD written = 0;
    const Bytes image(200, 0x11);
    EXPECT_EQ(hid_write(image.data(), 200, &written), 1);
    EXPECT_EQ(written, 200u);
    EXPECT_TRUE(testsupport::eventually(
        [&] { return board.count("image data (report ID 2) without a download") == 4; }, 2s));

    // A read that completed although its wait saw nothing counts: the wait here cannot
    // see the event at all, as if it had timed out just before the report came.
    hid_set_report_id(1);
    ASSERT_EQ(query_gate(), 1);
    ASSERT_EQ(hid_read(buf.data(), 4), 1);
    std::this_thread::sleep_for(100ms); // the second word is in
    HANDLE event = hid_read_event;
    hid_read_event = hid_handle;
    EXPECT_EQ(hid_read(buf.data(), 4), 1);
    hid_read_event = event;
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), Bytes(4, 0xF0));

    // Nothing to read: the wait's full length, then the request is cancelled and over.
    auto t0 = Clock::now();
    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(hid_read(buf.data(), 4), 0);
    EXPECT_GE(ms_since(t0), 950);
    EXPECT_EQ(buf, Bytes(100, 0xEE));
    EXPECT_EQ(query_gate(), 1);
    EXPECT_EQ(hid_read(buf.data(), 4), 1);
}

TEST_F(HidTransport, AReportNotAcknowledgedInTimeStopsTheWrite) {
    open({"--hid-interval-us", "400000"});
    hid_set_report_id(2);
    DWORD written = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(hid_write(buf.data(), 100, &written), 0);
    EXPECT_GE(ms_since(t0), 90);
    EXPECT_LT(ms_since(t0), 390);
    EXPECT_EQ(written, 64u);
}

TEST_F(HidTransport, AVanishingDeviceFailsReadsAndWritesAndComesBack) {
    open();
    std::thread unplug([&] {
        std::this_thread::sleep_for(200ms);
        board.stop();
    });
    auto t0 = Clock::now();
    EXPECT_EQ(hid_read(buf.data(), 64), 0);
    EXPECT_LT(ms_since(t0), 900); // the failed completion counts, not a timeout
    unplug.join();
    DWORD written = 5;
    EXPECT_EQ(hid_write(buf.data(), 10, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(hid_read(buf.data(), 64), 0);
    EXPECT_EQ(buf, Bytes(100, 0xEE));
    open();
    EXPECT_EQ(query_gate(), 1);
    EXPECT_EQ(hid_close(), 1);
    EXPECT_EQ(hid_close(), 1);
    EXPECT_EQ(query_gate(), 0);
    EXPECT_EQ(hid_read(buf.data(), 4), 0);
}

} // namespace
