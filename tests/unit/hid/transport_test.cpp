// The HID transport against virtual HID devices in a private device directory.
#include "transport/hid/hid.h"
#include "tests/support/process.h"
#include "tests/unit/hid/virtual_hid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
using namespace std::chrono_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vhid::Bytes;
using vhid::VirtualHid;

namespace {

Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

Bytes with_id(uint8_t id, const Bytes& payload, size_t len = 65) {
    Bytes r(len, 0);
    r[0] = id;
    std::copy(payload.begin(), payload.end(), r.begin() + 1);
    return r;
}

std::string narrow(const WCHAR* w) {
    std::string s;
    for (; *w; ++w)
        s.push_back(static_cast<char>(*w));
    return s;
}

long ms_since(steady_clock::time_point t0) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

void expect_closed() {
    EXPECT_EQ(hid_handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_write_event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_read_event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_in_report, nullptr);
    EXPECT_EQ(hid_out_report, nullptr);
    EXPECT_EQ(hid_interface_detail, nullptr);
}

class HidTransport : public ::testing::Test {
  protected:
    void SetUp() override { setenv("LARKSPUR_DEVICES", dir.path().c_str(), 1); }
    void TearDown() override { hid_close(); }
    // A kestrel board in the device directory, opened.
    VirtualHid& open_kestrel(uint16_t in_len = 65, uint16_t out_len = 65) {
        dev = std::make_unique<VirtualHid>(dir.path(), "kestrel", FALCON_VENDOR_ID,
                                           KESTREL_PRODUCT_ID, in_len, out_len);
        EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
        return *dev;
    }
    testsupport::TempDir dir;
    std::unique_ptr<VirtualHid> dev;
};

TEST_F(HidTransport, OpensTheFirstMatchInEnumerationOrder) {
    VirtualHid a(dir.path(), "a", FALCON_VENDOR_ID + 1, KESTREL_PRODUCT_ID);
    VirtualHid b(dir.path(), "b", FALCON_VENDOR_ID, MERLIN_PRODUCT_ID);
    VirtualHid c(dir.path(), "c", FALCON_VENDOR_ID, KESTREL_PRODUCT_ID, 33, 17);
    VirtualHid d(dir.path(), "d", FALCON_VENDOR_ID, KESTREL_PRODUCT_ID);
    CaptureStdout();
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(narrow(hid_interface_detail->DevicePath), c.path());
    EXPECT_EQ(hid_interface_detail->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    EXPECT_EQ(hid_caps.InputReportByteLength, 33);
    EXPECT_EQ(hid_caps.OutputReportByteLength, 17);
    EXPECT_EQ(a.accepted(), 1u); // looked at and passed over
    EXPECT_EQ(b.accepted(), 1u);
    EXPECT_EQ(d.accepted(), 0u);
    // The probe's own handle is closed; only the open device stays connected.
    EXPECT_TRUE(testsupport::eventually([&] { return a.open_connections() == 0; }, 2s));
    EXPECT_TRUE(testsupport::eventually([&] { return c.open_connections() == 1; }, 2s));

    HIDP_CAPS caps = {};
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = nullptr;
    EXPECT_EQ(hid_find_device(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID, &caps, &detail), 1);
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(narrow(detail->DevicePath), b.path());
    std::free(detail);
}

TEST_F(HidTransport, AbsentProductReturnsZeroSilentlyAndLeavesNothingOpen) {
    VirtualHid m(dir.path(), "m", FALCON_VENDOR_ID, MERLIN_PRODUCT_ID);
    CaptureStdout();
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    expect_closed();
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID), 1);
    // A new open replaces the old one; a failed one leaves nothing behind.
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, HOBBY_PRODUCT_ID), 0);
    expect_closed();
    EXPECT_TRUE(testsupport::eventually([&] { return m.open_connections() == 0; }, 2s));
}

TEST_F(HidTransport, ReportLengthsBelowTwoAreNotOpened) {
    for (auto [in, out] : {std::pair{1, 65}, {65, 1}, {0, 0}}) {
        VirtualHid k(dir.path(), "k", FALCON_VENDOR_ID, KESTREL_PRODUCT_ID, uint16_t(in),
                     uint16_t(out));
        CaptureStdout();
        EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 0);
        EXPECT_EQ(GetCapturedStdout(), "");
        expect_closed();
        EXPECT_TRUE(testsupport::eventually([&] { return k.open_connections() == 0; }, 2s));
    }
}

TEST_F(HidTransport, DeviceThatCannotBeOpenedForIoIsReported) {
    VirtualHid k(dir.path(), "k", FALCON_VENDOR_ID, KESTREL_PRODUCT_ID);
    k.bad_hello_from(1, {'X'}); // the search's probe works, the real open does not
    CaptureStdout();
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 0);
    EXPECT_EQ(GetCapturedStdout(), "Failed to open the device for wr/rd.\n");
    expect_closed();
}

TEST_F(HidTransport, WritesAreCutIntoReportsWithTheLastReportId) {
    VirtualHid& k = open_kestrel();
    DWORD written = 99;
    hid_set_report_id(7);
    hid_set_report_id(1);
    const Bytes frame = pattern(16);
    ASSERT_EQ(hid_write(frame.data(), 16, &written), 1);
    EXPECT_EQ(written, 16u);
    ASSERT_EQ(k.reports().size(), 1u);
    EXPECT_EQ(k.reports()[0], with_id(1, frame)); // ID, 16 bytes, 48 zeros

    hid_set_report_id(2);
    const Bytes image = pattern(1000, 3);
    ASSERT_EQ(hid_write(image.data(), 1000, &written), 1);
    EXPECT_EQ(written, 1000u);
    auto reports = k.reports();
    ASSERT_EQ(reports.size(), 17u);
    for (size_t i = 0; i < 16; ++i) {
        const size_t piece = i < 15 ? 64 : 40;
        auto from = image.begin() + static_cast<long>(i * 64);
        EXPECT_EQ(reports[i + 1], with_id(2, Bytes(from, from + static_cast<long>(piece))))
            << "report " << i;
    }
    EXPECT_EQ(hid_write(image.data(), 0, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(k.reports().size(), 17u);
}

TEST_F(HidTransport, UnacknowledgedReportStopsTheWrite) {
    VirtualHid& k = open_kestrel();
    hid_set_report_id(2);
    k.withhold_acks_from(2);
    const Bytes data = pattern(200);
    DWORD written = 0;
    auto t0 = steady_clock::now();
    EXPECT_EQ(hid_write(data.data(), 200, &written), 0);
    EXPECT_GE(ms_since(t0), 90);
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_EQ(written, 128u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(k.reports().size(), 3u); // the pieces after the stalled one never left

    // Once the device catches up, its late 'A' is not taken for the next report's.
    k.ack_all();
    ASSERT_EQ(hid_write(data.data(), 10, &written), 1);
    EXPECT_EQ(k.reports().back(), with_id(2, Bytes(data.begin(), data.begin() + 10)));
}

TEST_F(HidTransport, ReadTakesOneReportsPayload) {
    VirtualHid& k = open_kestrel();
    const Bytes first = with_id(9, pattern(64)), second = with_id(9, pattern(64, 100));
    k.send_input(first);
    Bytes buf(100, 0xEE);
    ASSERT_EQ(hid_read(buf.data(), 4), 1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), Bytes(first.begin() + 1, first.begin() + 5));
    EXPECT_EQ(buf[4], 0xEE);
    // The rest of the first report is gone; the next read gets the next report.
    k.send_input(second);
    std::fill(buf.begin(), buf.end(), 0xEE);
    ASSERT_EQ(hid_read(buf.data(), 100), 1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 64), Bytes(second.begin() + 1, second.end()));
    EXPECT_EQ(Bytes(buf.begin() + 64, buf.end()), Bytes(36, 0xEE));
}

TEST_F(HidTransport, ReadTimeoutLeavesBufferAndNextReport) {
    VirtualHid& k = open_kestrel(9, 9);
    Bytes buf(8, 0xEE);
    auto t0 = steady_clock::now();
    EXPECT_EQ(hid_read(buf.data(), 8), 0);
    EXPECT_GE(ms_since(t0), 950);
    EXPECT_LT(ms_since(t0), 2500);
    EXPECT_EQ(buf, Bytes(8, 0xEE));
    const Bytes r = with_id(0, pattern(8), 9);
    k.send_input(r);
    ASSERT_EQ(hid_read(buf.data(), 8), 1);
    EXPECT_EQ(buf, Bytes(r.begin() + 1, r.end()));
}

TEST_F(HidTransport, VanishingDeviceFailsReadsAndWritesAndComesBack) {
    VirtualHid& k = open_kestrel();
    Bytes buf(64, 0xEE);
    std::thread unplug([&] {
        std::this_thread::sleep_for(200ms);
        k.vanish();
    });
    auto t0 = steady_clock::now();
    EXPECT_EQ(hid_read(buf.data(), 64), 0);
    EXPECT_LT(ms_since(t0), 900); // the failed completion counts, not a timeout
    unplug.join();
    EXPECT_EQ(buf, Bytes(64, 0xEE));
    DWORD written = 5;
    EXPECT_EQ(hid_write(buf.data(), 10, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(hid_read(buf.data(), 64), 0);
    EXPECT_EQ(hid_close(), 1);

    k.come_back();
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
    hid_set_report_id(2);
    k.vanish_after(k.reports().size() + 3); // gone on the third report, before its 'A'
    const Bytes data = pattern(1000);
    EXPECT_EQ(hid_write(data.data(), 1000, &written), 0);
    EXPECT_EQ(written, 128u);
}

TEST_F(HidTransport, CloseIsIdempotentAndReopenWorks) {
    EXPECT_EQ(hid_close(), 1); // nothing open yet
    VirtualHid& k = open_kestrel();
    EXPECT_EQ(hid_close(), 1);
    EXPECT_EQ(hid_close(), 1);
    expect_closed();
    Bytes b(4, 1);
    DWORD written = 0;
    EXPECT_EQ(hid_write(b.data(), 4, &written), 0);
    EXPECT_EQ(hid_read(b.data(), 4), 0);
    hid_set_report_id(2); // no buffer to set it in: nothing happens
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
    hid_set_report_id(2);
    EXPECT_EQ(hid_write(b.data(), 4, &written), 1);
    EXPECT_EQ(k.reports().back(), with_id(2, b));
    EXPECT_TRUE(testsupport::eventually([&] { return k.open_connections() == 1; }, 2s));
}

} // namespace
