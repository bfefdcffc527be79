// The HID class stand-in, driven through the Windows API as a part would use it.
#include "platform/winapi.h"
#include "tests/support/process.h"
#include "tests/unit/hid/virtual_hid.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vhid::Bytes;
using vhid::VirtualHid;

namespace {

constexpr size_t kFixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

Bytes report(uint8_t id, uint8_t first, size_t len = 65) {
    Bytes r(len);
    r[0] = id;
    for (size_t i = 1; i < len; ++i)
        r[i] = static_cast<uint8_t>(first + i - 1);
    return r;
}

bool signalled(HANDLE ev, DWORD ms = 2000) {
    return WaitForSingleObject(ev, ms) == WAIT_OBJECT_0;
}

class HidStandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1);
        ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ev2 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        CloseHandle(ev);
        CloseHandle(ev2);
    }
    HANDLE open(const std::string& path, bool overlapped = true) {
        std::wstring w(path.begin(), path.end());
        return CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }
    OVERLAPPED with(HANDLE e) {
        OVERLAPPED os = {};
        os.hEvent = e;
        return os;
    }
    testsupport::TempDir dir;
    HANDLE ev = nullptr;
    HANDLE ev2 = nullptr;
};

TEST_F(HidStandIn, EnumeratesHidSocketsInNameOrderWithDetailRecords) {
    VirtualHid b(dir.path(), "b", 1, 2), a(dir.path(), "a", 1, 2), c(dir.path(), "c", 1, 2);
    dir.write("hid-plainfile", "x");
    dir.write("other", "x");
    GUID guid;
    HidD_GetHidGuid(&guid);
    EXPECT_EQ(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    GUID other = guid;
    other.Data1 ^= 1;
    EXPECT_EQ(SetupDiGetClassDevsW(&other, nullptr, nullptr, 0x12), INVALID_HANDLE_VALUE);

    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, 0x12);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    std::vector<std::string> paths;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD need = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<std::byte> mem(need);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(mem.data());
        detail->cbSize = need; // not the fixed part's size
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need - 1, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr));
        std::wstring w(detail->DevicePath);
        paths.emplace_back(w.begin(), w.end());
        EXPECT_EQ(need, kFixed + (paths.back().size() + 1) * sizeof(WCHAR));
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(paths, (std::vector<std::string>{a.path(), b.path(), c.path()}));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
}

TEST_F(HidStandIn, MissingDirectoryGivesAnEmptySet) {
    setenv("LARKSPUR_DEVICES", dir.file("absent").c_str(), 1);
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, 0x12);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(HidStandIn, AttributesAndCapsComeFromTheHello) {
    VirtualHid d(dir.path(), "d", 0x1234, 0xABCD, 33, 17);
    HANDLE h = open(d.path(), false);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attrs = {};
    attrs.Size = sizeof attrs;
    ASSERT_TRUE(HidD_GetAttributes(h, &attrs));
    EXPECT_EQ(attrs.VendorID, 0x1234);
    EXPECT_EQ(attrs.ProductID, 0xABCD);
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
    HIDP_CAPS caps = {};
    EXPECT_EQ(HidP_GetCaps(pp, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 33);
    EXPECT_EQ(caps.OutputReportByteLength, 17);
    EXPECT_TRUE(HidD_FreePreparsedData(pp));
    EXPECT_FALSE(HidD_FreePreparsedData(pp));
    EXPECT_EQ(HidP_GetCaps(pp, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(HidD_GetAttributes(h, &attrs));
}

TEST_F(HidStandIn, RefusesWhatIsNoHidDevice) {
    EXPECT_EQ(open(dir.file("hid-none")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    VirtualHid bad(dir.path(), "bad", 1, 2);
    bad.set_hello({'H', 1, 0, 2, 0, 65, 0}); // short
    EXPECT_EQ(open(bad.path()), INVALID_HANDLE_VALUE);
    bad.set_hello({'X', 1, 0, 2, 0, 65, 0, 65, 0});
    EXPECT_EQ(open(bad.path()), INVALID_HANDLE_VALUE);
    bad.set_hello({}); // silent: the wait for the hello is bounded
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(open(bad.path()), INVALID_HANDLE_VALUE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
}

TEST_F(HidStandIn, OverlappedReadPendsCompletesAndCancels) {
    VirtualHid d(dir.path(), "d", 1, 2);
    HANDLE h = open(d.path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Bytes buf(65);
    OVERLAPPED os = with(ev);
    EXPECT_FALSE(ReadFile(h, buf.data(), 64, nullptr, &os)); // shorter than a report
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(ReadFile(h, buf.data(), 65, nullptr, &os));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &os, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    d.send_input(report(2, 10));
    ASSERT_TRUE(signalled(ev));
    EXPECT_EQ(os.Internal, 0u);
    EXPECT_EQ(os.InternalHigh, 65u);
    EXPECT_EQ(buf, report(2, 10));

    // A cancelled read takes no report: the next read gets it whole.
    os = with(ev);
    EXPECT_FALSE(ReadFile(h, buf.data(), 65, nullptr, &os));
    EXPECT_TRUE(CancelIo(h));
    ASSERT_TRUE(signalled(ev, 0));
    EXPECT_FALSE(GetOverlappedResult(h, &os, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    d.send_input(report(2, 20));
    d.send_input(report(2, 30));
    std::this_thread::sleep_for(200ms);
    // Buffered reports complete at once, in order, and the event says so too.
    for (uint8_t first : {20, 30}) {
        os = with(ev);
        ResetEvent(ev);
        ASSERT_TRUE(ReadFile(h, buf.data(), 65, &n, &os));
        EXPECT_TRUE(signalled(ev, 0));
        EXPECT_EQ(n, 65u);
        EXPECT_EQ(buf, report(2, first));
    }
    CloseHandle(h);
}

TEST_F(HidStandIn, EveryConnectionReceivesEveryReport) {
    VirtualHid d(dir.path(), "d", 1, 2, 9, 9);
    HANDLE h1 = open(d.path()), h2 = open(d.path());
    Bytes b1(9), b2(9);
    OVERLAPPED o1 = with(ev), o2 = with(ev2);
    ReadFile(h1, b1.data(), 9, nullptr, &o1);
    ReadFile(h2, b2.data(), 9, nullptr, &o2);
    d.send_input(report(0, 1, 9));
    ASSERT_TRUE(signalled(ev));
    ASSERT_TRUE(signalled(ev2));
    EXPECT_EQ(b1, report(0, 1, 9));
    EXPECT_EQ(b2, report(0, 1, 9));
    CloseHandle(h1);
    CloseHandle(h2);
}

TEST_F(HidStandIn, WriteCompletesOnItsOwnAcknowledgement) {
    VirtualHid d(dir.path(), "d", 1, 2);
    HANDLE h = open(d.path());
    Bytes out = report(1, 5);
    OVERLAPPED os = with(ev);
    EXPECT_FALSE(WriteFile(h, out.data(), 64, nullptr, &os));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(h, out.data(), 65, nullptr, &os));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(signalled(ev));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &os, &n, FALSE));
    EXPECT_EQ(n, 65u);
    EXPECT_EQ(d.reports(), std::vector<Bytes>{out});

    // A cancelled write that went out still owns the device's next 'A'.
    d.withhold_acks_from(1);
    os = with(ev);
    WriteFile(h, out.data(), 65, nullptr, &os);
    ASSERT_TRUE(d.wait_reports(2, 2s));
    EXPECT_FALSE(signalled(ev, 100));
    CancelIo(h);
    EXPECT_FALSE(GetOverlappedResult(h, &os, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    os = with(ev);
    WriteFile(h, out.data(), 65, nullptr, &os);
    ASSERT_TRUE(d.wait_reports(3, 2s));
    d.send_raw({'A'});
    EXPECT_FALSE(signalled(ev, 200));
    d.send_raw({'A'});
    EXPECT_TRUE(signalled(ev));
    EXPECT_TRUE(GetOverlappedResult(h, &os, &n, FALSE));
    CloseHandle(h);
}

TEST_F(HidStandIn, DeviceThatStopsReadingBlocksNoWriter) {
    VirtualHid d(dir.path(), "d", 1, 2);
    HANDLE h = open(d.path());
    constexpr size_t kCount = 3000; // far more than the socket buffer holds
    std::vector<OVERLAPPED> os(kCount);
    size_t sent = 0;
    auto write_all = [&] {
        d.pause_reading(true);
        auto t0 = std::chrono::steady_clock::now();
        for (auto& o : os) {
            o = with(nullptr);
            Bytes out = report(1, 0);
            out[1] = static_cast<uint8_t>(sent);
            out[2] = static_cast<uint8_t>(sent++ >> 8);
            ASSERT_FALSE(WriteFile(h, out.data(), 65, nullptr, &o));
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    };
    auto in_order = [](const std::vector<Bytes>& r) {
        for (size_t i = 0; i < r.size(); ++i) {
            if (r[i][1] != static_cast<uint8_t>(i) || r[i][2] != static_cast<uint8_t>(i >> 8))
                return false;
        }
        return true;
    };
    DWORD n = 0;
    // Queued reports go out in order once the device reads again.
    write_all();
    d.pause_reading(false);
    ASSERT_TRUE(testsupport::eventually(
        [&] { return GetOverlappedResult(h, &os.back(), &n, FALSE) != FALSE; }, 20s));
    EXPECT_EQ(d.reports().size(), kCount);
    EXPECT_TRUE(in_order(d.reports()));

    // Cancelled reports that never went out are never sent.
    write_all();
    CancelIo(h);
    EXPECT_FALSE(GetOverlappedResult(h, &os.back(), &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    d.pause_reading(false);
    OVERLAPPED last = with(ev);
    Bytes marker(65, 0xAB);
    WriteFile(h, marker.data(), 65, nullptr, &last);
    ASSERT_TRUE(signalled(ev, 20000));
    auto r = d.reports();
    EXPECT_LT(r.size(), 2 * kCount + 1);
    EXPECT_EQ(r.back(), marker);
    r.pop_back();
    EXPECT_TRUE(in_order(r));
    CloseHandle(h);
}

TEST_F(HidStandIn, MalformedMessagesHaveNoEffect) {
    VirtualHid d(dir.path(), "d", 1, 2, 9, 9);
    HANDLE h = open(d.path());
    d.withhold_acks_from(0);
    Bytes out(9, 7), in(9, 0xEE);
    OVERLAPPED ow = with(ev), orr = with(ev2);
    WriteFile(h, out.data(), 9, nullptr, &ow);
    ReadFile(h, in.data(), 9, nullptr, &orr);
    ASSERT_TRUE(d.wait_reports(1, 2s));
    d.send_raw({'I', 1, 2, 3});                // short report
    d.send_raw(Bytes(11, 'I'));                // long report
    d.send_raw(Bytes(70000, 'I'));             // longer than any report can be
    d.send_raw({'A', 0});                      // acknowledgement with a tail
    d.send_raw({'H', 1, 0, 2, 0, 9, 0, 9, 0}); // a second hello
    d.send_raw({'Z', 1, 2});
    EXPECT_FALSE(signalled(ev, 200));
    EXPECT_FALSE(signalled(ev2, 0));
    EXPECT_EQ(in, Bytes(9, 0xEE));
    d.send_input(report(3, 1, 9));
    d.send_raw({'A'});
    EXPECT_TRUE(signalled(ev2));
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(in, report(3, 1, 9));
    CloseHandle(h);
}

TEST_F(HidStandIn, DeviceThatVanishesFailsPendingAndLaterIo) {
    VirtualHid d(dir.path(), "d", 1, 2, 9, 9);
    HANDLE h = open(d.path());
    d.withhold_acks_from(0);
    Bytes out(9, 7), in(9, 0);
    OVERLAPPED ow = with(ev), orr = with(ev2);
    WriteFile(h, out.data(), 9, nullptr, &ow);
    ReadFile(h, in.data(), 9, nullptr, &orr);
    ASSERT_TRUE(d.wait_reports(1, 2s));
    d.vanish();
    ASSERT_TRUE(signalled(ev));
    ASSERT_TRUE(signalled(ev2));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &ow, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(GetOverlappedResult(h, &orr, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    // Later requests fail at once, and their records and events say so as well.
    ow = with(ev);
    ResetEvent(ev);
    EXPECT_FALSE(WriteFile(h, out.data(), 9, nullptr, &ow));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(signalled(ev, 0));
    EXPECT_EQ(ow.Internal, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ReadFile(h, in.data(), 9, nullptr, &orr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(open(d.path()), INVALID_HANDLE_VALUE);
    d.come_back();
    h = open(d.path());
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(HidStandIn, CloseEndsRequestsInFlight) {
    VirtualHid d(dir.path(), "d", 1, 2, 9, 9);
    HANDLE h = open(d.path());
    d.withhold_acks_from(0);
    auto out = std::make_unique<Bytes>(9, 7);
    auto in = std::make_unique<Bytes>(9, 0);
    OVERLAPPED ow = with(ev), orr = with(ev2);
    WriteFile(h, out->data(), 9, nullptr, &ow);
    ReadFile(h, in->data(), 9, nullptr, &orr);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(signalled(ev, 0));
    EXPECT_TRUE(signalled(ev2, 0));
    EXPECT_EQ(ow.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(orr.Internal, ERROR_OPERATION_ABORTED);
    in.reset(); // a report arriving now must find nothing to write into
    d.send_input(report(0, 1, 9));
    EXPECT_FALSE(ReadFile(h, out->data(), 9, nullptr, &orr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(HidStandIn, SynchronousHandleReadsAndWrites) {
    VirtualHid d(dir.path(), "d", 1, 2, 9, 9);
    HANDLE h = open(d.path(), false);
    Bytes out(9, 4), in(9, 0);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, out.data(), 9, &n, nullptr));
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(d.reports(), std::vector<Bytes>{out});
    d.send_input(report(0, 3, 9));
    EXPECT_TRUE(ReadFile(h, in.data(), 9, &n, nullptr));
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(in, report(0, 3, 9));
    CloseHandle(h);
}

} // namespace
