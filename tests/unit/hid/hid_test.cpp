// The HID stand-in and transport where a whole run does not reach: requests cancelled
// early or late, refused report lengths, malformed device messages, and the waits' bounds.
#include "platform/posix/hid.h"
#include "romproto/romproto.h"
#include "tests/e2e/board.h"
#include "transport/hid/hid.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace std::chrono_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

Bytes hello(uint16_t pid, uint16_t in_len, uint16_t out_len) {
    Bytes m = {'H'};
    for (uint16_t v : {uint16_t(FALCON_VENDOR_ID), pid, in_len, out_len})
        m.insert(m.end(), {uint8_t(v), uint8_t(v >> 8)});
    return m;
}

bool signalled(HANDLE ev, DWORD ms = 0) {
    return WaitForSingleObject(ev, ms) == WAIT_OBJECT_0;
}

// A handle for a device with reports of 9 bytes; the test speaks for the device.
struct StandIn : ::testing::Test {
    HANDLE h = posix::hid_create_unconnected(hello(2, 9, 9).data(), 9, FILE_FLAG_OVERLAPPED);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED os{};
    Bytes buf = Bytes(9, 0xEE);
    DWORD n = 0;
    void SetUp() override { os.hEvent = ev; }
    void TearDown() override { CloseHandle(ev); }
    void deliver(Bytes m) { posix::hid_deliver(h, m.data(), m.size()); }
    void input(uint8_t fill) {
        deliver({'I', fill, fill, fill, fill, fill, fill, fill, fill, fill});
    }
    bool read() { return ReadFile(h, buf.data(), 9, nullptr, &os); }
    bool write() { return WriteFile(h, buf.data(), 9, nullptr, &os); }
    bool done(BOOL wait) { return GetOverlappedResult(h, &os, &n, wait); }
};

TEST_F(StandIn, RequestsPendCompleteAndCancelWithoutLosingAReport) {
    EXPECT_FALSE(ReadFile(h, buf.data(), 8, nullptr, &os)); // shorter than a report
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(h, buf.data(), 8, nullptr, &os)); // not one report
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
    EXPECT_TRUE(HidD_FreePreparsedData(pp));
    EXPECT_FALSE(HidD_FreePreparsedData(pp)) << "freed twice";
    EXPECT_FALSE(read());
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    for (const Bytes& junk : {Bytes{'I', 1, 2}, Bytes(11, 'I'), Bytes{'A', 0}, Bytes{'A'},
                              hello(2, 9, 9), Bytes{'Z', 1}, Bytes{}})
        deliver(junk);
    EXPECT_FALSE(signalled(ev));
    input(3);
    ASSERT_TRUE(signalled(ev));
    EXPECT_TRUE(done(FALSE));
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(buf, Bytes(9, 3));

    // A cancelled read takes no report; buffered reports complete at once, in order.
    EXPECT_FALSE(read());
    EXPECT_TRUE(CancelIo(h));
    EXPECT_FALSE(done(TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    input(1);
    input(2);
    for (uint8_t id : {1, 2}) {
        ResetEvent(ev);
        EXPECT_TRUE(read());
        EXPECT_TRUE(signalled(ev));
        EXPECT_EQ(buf, Bytes(9, id));
    }
    // A read that completed before the cancel came stays done.
    EXPECT_FALSE(read());
    input(7);
    CancelIo(h);
    EXPECT_TRUE(done(TRUE));
    EXPECT_EQ(buf, Bytes(9, 7));

    // A write completes on its own acknowledgement, not on one that came before it.
    ResetEvent(ev);
    EXPECT_FALSE(write());
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(signalled(ev, 50));
    deliver({'A'});
    ASSERT_TRUE(signalled(ev));
    EXPECT_TRUE(done(FALSE));
    // A cancelled write that went out still owns the device's next 'A'.
    write();
    CancelIo(h);
    EXPECT_FALSE(done(TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    write();
    deliver({'A'});
    EXPECT_FALSE(signalled(ev, 50));
    deliver({'A'});
    EXPECT_TRUE(signalled(ev));
    // Close ends what is in flight.
    write();
    CloseHandle(h);
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(os.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(read());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// hid-<name> sockets that say hello and nothing else, where the board cannot: connection
// i gets hellos[i], the last one repeating.
struct HelloOnly {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    std::thread thread;
    HelloOnly(const std::string& path, std::vector<Bytes> hellos) {
        sockaddr_un a{AF_UNIX, {}};
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listen(fd, 8);
        thread = std::thread([this, hellos, path] {
            std::vector<int> conns;
            for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; conns.push_back(c)) {
                const Bytes& m = hellos[std::min(conns.size(), hellos.size() - 1)];
                send(c, m.data(), m.size(), MSG_NOSIGNAL);
            }
            for (int c : conns)
                close(c);
            unlink(path.c_str());
        });
    }
    ~HelloOnly() {
        shutdown(fd, SHUT_RDWR); // ends the accept
        thread.join();
        close(fd);
    }
};

void expect_closed() {
    EXPECT_EQ(hid_handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_in_report, nullptr);
    EXPECT_EQ(hid_interface_detail, nullptr);
}

TEST(HidDevices, OpenedOnlyWithReportsOfTwoBytes) {
    testsupport::TempDir dir;
    setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1);
    HelloOnly a(dir.file("hid-a"), {hello(KESTREL_PRODUCT_ID, 2, 2)});
    // A report needs the ID byte and one more; a device whose real open fails is named.
    struct Case {
        std::vector<Bytes> hellos;
        const char* out;
    } cases[] = {
        {{hello(MERLIN_PRODUCT_ID, 1, 65)}, ""},
        {{hello(MERLIN_PRODUCT_ID, 65, 1)}, ""},
        {{hello(MERLIN_PRODUCT_ID, 65, 65), {'X'}}, "Failed to open the device for wr/rd.\n"},
    };
    for (const Case& c : cases) {
        HelloOnly m(dir.file("hid-m"), c.hellos);
        CaptureStdout();
        EXPECT_EQ(hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID), 0);
        EXPECT_EQ(GetCapturedStdout(), c.out);
        expect_closed();
    }
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
    hid_close();
}

// The transport against a kestrel board's boot ROM: a GATE query (report ID 1) is answered
// by two words, each in an input report of its own.
struct HidTransport : ::testing::Test {
    e2e::Session s;
    Bytes buf = Bytes(100, 0xEE);
    void open(const std::string& options = "") {
        setenv("LARKSPUR_DEVICES", s.devices().c_str(), 1);
        s.board("kestrel hid " + options);
        ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
        hid_set_report_id(1);
    }
    int query_gate() {
        rom_command cmd;
        rom_build_command(&cmd, ROM_CMD_EXEC, 0, 0, 0, 0, 0);
        return hid_write(cmd.bytes.data(), 16, nullptr);
    }
    void TearDown() override {
        hid_close();
        expect_closed();
    }
};

TEST_F(HidTransport, ReadsTakeOneReportAndALateCancelLosesNothing) {
    open();
    ASSERT_EQ(query_gate(), 1);
    ASSERT_EQ(hid_read(buf.data(), 2), 1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), (Bytes{0x56, 0x78, 0xEE}));
    // The rest of that report is gone; the next read takes the whole next payload.
    ASSERT_EQ(hid_read(buf.data(), 100), 1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 6), (Bytes{0xF0, 0xF0, 0xF0, 0xF0, 0, 0}));
    EXPECT_EQ(Bytes(buf.begin() + 64, buf.end()), Bytes(36, 0xEE));

    // A read that completed although its wait saw nothing counts: the wait here cannot
    // see the event at all, as if it had timed out just before the report came.
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
    EXPECT_GE(Clock::now() - t0, 950ms);
    EXPECT_EQ(buf, Bytes(100, 0xEE));
    EXPECT_EQ(query_gate(), 1);
    EXPECT_EQ(hid_read(buf.data(), 4), 1);
}

TEST_F(HidTransport, AReportNotAcknowledgedInTimeStopsTheWrite) {
    open("--hid-interval-us 400000");
    DWORD written = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(hid_write(buf.data(), 100, &written), 0);
    EXPECT_GE(Clock::now() - t0, 90ms);
    EXPECT_LT(Clock::now() - t0, 390ms);
    EXPECT_EQ(written, 64u);
}

TEST_F(HidTransport, AVanishingDeviceFailsAtOnceAndComesBack) {
    open();
    std::thread unplug([&] {
        std::this_thread::sleep_for(200ms);
        s.boards[0].reset();
    });
    auto t0 = Clock::now();
    EXPECT_EQ(hid_read(buf.data(), 64), 0);
    EXPECT_LT(Clock::now() - t0, 900ms); // the failed completion counts, not a timeout
    unplug.join();
    DWORD written = 5;
    EXPECT_EQ(hid_write(buf.data(), 10, &written), 0);
    EXPECT_EQ(written, 0u);
    open();
    EXPECT_EQ(query_gate(), 1);
    hid_close();
    EXPECT_EQ(query_gate(), 0);
    EXPECT_EQ(hid_read(buf.data(), 4), 0);
}

} // namespace

namespace {

// The class calls refuse what is not theirs with the codes the part code sees: a handle of
// another kind, a missing or malformed record, a buffer too small.
TEST(HidDevices, CallsRefuseWhatIsNotTheirs) {
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    GUID guid{};
    HidD_GetHidGuid(&guid);
    HIDD_ATTRIBUTES attrs{};
    PHIDP_PREPARSED_DATA pp = nullptr;
    HIDP_CAPS caps{};
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    auto error_of = [](bool failed) { return failed ? GetLastError() : DWORD(0); };
    EXPECT_EQ(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error_of(!SetupDiEnumDeviceInterfaces(other, nullptr, &guid, 0, &data)),
              DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(
        error_of(!SetupDiGetDeviceInterfaceDetailW(other, &data, nullptr, 0, nullptr, nullptr)),
        DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(other));
    EXPECT_FALSE(HidD_GetAttributes(other, &attrs));
    EXPECT_FALSE(HidD_GetPreparsedData(other, &pp));
    EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);

    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error_of(!SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &data)),
              DWORD(ERROR_INVALID_PARAMETER));
    data.Reserved = 0; // names no interface of the set
    EXPECT_EQ(error_of(!SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, nullptr, nullptr)),
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    CloseHandle(other);
}

} // namespace
