// The HID stand-in and transport where a whole run does not reach: what a device hands
// over (descriptors, HID_ID, reports), requests cancelled early or late, refused report
// lengths, a device that goes away, and the waits' bounds.
#include "platform/posix/hid_report.h"
#include "romproto/romproto.h"
#include "tests/e2e/board.h"
#include "transport/hid/hid.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

// Under umockdev's preload, this process reaches a board's emulated devices once
// UMOCKDEV_DIR names the board's test bed; without it the preload changes nothing.
[[maybe_unused]] const bool g_preloaded = testsupport::rerun_under_umockdev();

using Layout = std::optional<std::array<uint16_t, 4>>; // numbered, input, output, feature

// "06 00 FF" as bytes.
Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t at = 0; at + 1 < text.size(); at += 3)
        out.push_back(uint8_t(std::stoul(text.substr(at, 2), nullptr, 16)));
    return out;
}

Layout layout_of(const Bytes& desc) {
    auto l = posix::hid_parse_descriptor(desc);
    if (!l)
        return std::nullopt;
    return std::array<uint16_t, 4>{l->numbered, l->input, l->output, l->feature};
}

TEST(HidReports, DescriptorsGiveTheLengthsWindowsGives) {
    const Bytes falcon = hex("06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 40 85 01 09 01 81 02 85 "
                             "01 09 01 91 02 85 02 09 01 81 02 85 02 09 01 91 02 C0");
    const Bytes keyboard = hex("05 01 09 06 A1 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02 "
                               "95 01 75 08 81 01 95 05 75 01 05 08 19 01 29 05 91 02 95 01 75 03 "
                               "91 01 95 06 75 08 15 00 25 65 05 07 19 00 29 65 81 00 C0");
    // Push/Pop bring back size, count and ID; 4-byte data; a long item is skipped.
    const Bytes stacked = hex("75 08 95 10 85 01 91 02 A4 85 02 77 10 00 00 00 97 04 00 00 00 81 "
                              "02 B4 81 02 FE 02 10 AA BB B1 02");
    const struct {
        const char* what;
        Bytes desc;
        Layout want;
    } rows[] = {
        {"falcon board", falcon, {{1, 65, 65, 0}}},
        {"keyboard, no report IDs", keyboard, {{0, 9, 2, 0}}},
        {"push, pop, long item", stacked, {{1, 17, 17, 17}}},
        {"an ID-only report, no data bytes", hex("85 03 95 00 80"), {{1, 1, 0, 0}}},
        {"11 bits round up", hex("75 01 95 0B 81 02"), {{0, 3, 0, 0}}},
        {"the largest report", hex("75 08 96 00 40 81 02"), {{0, 16385, 0, 0}}},
        {"empty", {}, {{0, 0, 0, 0}}},
        {"largest descriptor", Bytes(4096, 0), {{0, 0, 0, 0}}},
        {"too large a descriptor", Bytes(4097, 0), std::nullopt},
        {"too large a report", hex("75 08 96 01 40 81 02"), std::nullopt},
        {"size times count past 64 bits", hex("77 FF FF FF FF 97 FF FF FF FF 81 02"), std::nullopt},
        {"short item cut", hex("06 00"), std::nullopt},
        {"long item cut", hex("FE 05 10 01 02"), std::nullopt},
        {"long item header cut", hex("FE 05"), std::nullopt},
        {"report ID 0", hex("85 00"), std::nullopt},
        {"report ID 256", hex("86 00 01"), std::nullopt},
        {"pop without push", hex("B4"), std::nullopt},
        {"five pushes", hex("A4 A4 A4 A4 A4"), std::nullopt},
        {"unnumbered, then numbered", hex("75 08 95 01 81 02 85 01 81 02"), std::nullopt},
        {"an empty unnumbered report, then numbered", hex("81 02 85 01 81 02"), std::nullopt},
        {"pop back to no ID", hex("A4 85 01 75 08 95 01 B4 81 02"), std::nullopt},
    };
    for (const auto& r : rows)
        EXPECT_EQ(layout_of(r.desc), r.want) << r.what;
    auto l = posix::hid_parse_descriptor(falcon);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->usage_page, 0xFF00);
    EXPECT_EQ(l->usage, 1);
}

TEST(HidReports, HidIdIsThreeHexFieldsWithSixteenBitIds) {
    const struct {
        const char* text;
        std::optional<std::array<uint16_t, 3>> want;
    } rows[] = {
        {"0003:00002F5A:00000101", {{3, 0x2F5A, 0x0101}}},
        {"0005:0000046d:0000B33C", {{5, 0x046D, 0xB33C}}},
        {"3:2F5A:101", {{3, 0x2F5A, 0x0101}}},
        {"", std::nullopt},
        {"0003:00002F5A", std::nullopt},
        {"0003:00002F5A:00000101:1", std::nullopt},
        {"0003::00000101", std::nullopt},
        {"0003:00002F5A:", std::nullopt},
        {"0003:00012F5A:00000101", std::nullopt},
        {"0003:000000002F5A:0101", std::nullopt},
        {"0003:00002F5G:00000101", std::nullopt},
        {" 0003:00002F5A:00000101", std::nullopt},
        {"0003:00002F5A:00000101\n", std::nullopt},
    };
    for (const auto& r : rows) {
        auto id = posix::hid_parse_id(r.text);
        EXPECT_EQ(id ? std::optional(std::array{id->bus, id->vendor, id->product}) : std::nullopt,
                  r.want)
            << r.text;
    }
}

TEST(HidReports, AReportIsPaddedOrCutToItsLength) {
    const struct {
        Bytes got;
        bool numbered;
        size_t length;
        Bytes want;
    } rows[] = {
        {{1, 2, 3}, true, 5, {1, 2, 3, 0, 0}},
        {{7, 8}, false, 4, {0, 7, 8, 0}},
        {{1, 2, 3, 4, 5, 6}, true, 4, {1, 2, 3, 4}},
        {{7, 8, 9}, false, 2, {0, 7}},
        {{7}, false, 1, {0}},
        {{}, true, 3, {0, 0, 0}},
    };
    for (const auto& r : rows) {
        Bytes out(r.length + 1, 0xEE); // one byte past the report stays as it was
        posix::hid_input_view(r.got, r.numbered, {out.data(), r.length});
        Bytes want = r.want;
        want.push_back(0xEE);
        EXPECT_EQ(out, want);
    }
}

bool signalled(HANDLE ev, DWORD ms = 0) {
    return WaitForSingleObject(ev, ms) == WAIT_OBJECT_0;
}

// The error a call leaves; 0 when it succeeds.
DWORD error_of(BOOL ok) {
    return ok ? 0 : GetLastError();
}

// A kestrel board's boot ROM, with this process in its test bed. A GATE query (report
// ID 1) is answered by two words, each in an input report of its own.
struct HidBoard : ::testing::Test {
    e2e::Session s;
    Bytes buf = Bytes(100, 0xEE);
    void start(const std::string& options = "") {
        s.board("kestrel hid " + options);
        setenv("UMOCKDEV_DIR", s.emulation.at(0).substr(13).c_str(), 1); // "UMOCKDEV_DIR=..."
    }
    void open(const std::string& options = "") {
        start(options);
        ASSERT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
        hid_set_report_id(1);
    }
    static Bytes frame(uint16_t code, uint32_t addr = 0, uint32_t length = 0) {
        rom_command cmd;
        rom_build_command(&cmd, code, addr, 0, length, 0, 0);
        return Bytes(cmd.bytes.begin(), cmd.bytes.end());
    }
    int query_gate() { return hid_write(frame(ROM_CMD_EXEC).data(), 16, nullptr); }
    // Every handle on the board's nodes ends before the board does.
    void TearDown() override {
        hid_close();
        EXPECT_EQ(hid_handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(hid_in_report, nullptr);
        EXPECT_EQ(hid_interface_detail, nullptr);
        unsetenv("UMOCKDEV_DIR");
    }
};

// The stand-in's own calls on the board's node, opened as the transport opens it.
TEST_F(HidBoard, RequestsPendCompleteAndCancelWithoutLosingAReport) {
    start();
    HIDP_CAPS caps{};
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = nullptr;
    ASSERT_EQ(hid_find_device(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID, &caps, &detail), 1);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    auto open_node = [&](DWORD flags) {
        return CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    };
    HANDLE h = open_node(FILE_FLAG_OVERLAPPED);
    // A handle nobody reads from takes no report from the one that reads.
    HANDLE idle = open_node(0);
    std::free(detail);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attrs{sizeof(HIDD_ATTRIBUTES), 0, 0, 0};
    ASSERT_TRUE(HidD_GetAttributes(idle, &attrs)); // the IDs it gives choose the runs' variant
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED os{}, wos{};
    os.hEvent = ev;
    DWORD n = 0;
    Bytes in(65, 0xEE), out = frame(ROM_CMD_EXEC);
    out.insert(out.begin(), 1);
    out.resize(65);
    auto read = [&] { return ReadFile(h, in.data(), 65, nullptr, &os); };
    auto done = [&](BOOL wait) { return GetOverlappedResult(h, &os, &n, wait); };
    auto query = [&] {
        wos = {};
        return WriteFile(h, out.data(), 65, nullptr, &wos) ||
               (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(h, &wos, &n, TRUE));
    };

    // Shorter than a report, not one report, an ID no output report has.
    EXPECT_EQ(error_of(ReadFile(h, in.data(), 64, nullptr, &os)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(error_of(WriteFile(h, out.data(), 64, nullptr, &os)), ERROR_INVALID_PARAMETER);
    out[0] = 3;
    EXPECT_EQ(error_of(WriteFile(h, out.data(), 65, nullptr, &os)), ERROR_INVALID_PARAMETER);
    out[0] = 1;
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
    EXPECT_TRUE(HidD_FreePreparsedData(pp));
    EXPECT_FALSE(HidD_FreePreparsedData(pp)) << "freed twice";

    // A read waits for a report; a cancelled one takes none.
    EXPECT_EQ(error_of(read()), ERROR_IO_PENDING);
    EXPECT_FALSE(signalled(ev, 50));
    EXPECT_TRUE(CancelIo(h));
    EXPECT_EQ(error_of(done(TRUE)), ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(query());
    for (Bytes word : {Bytes{1, 0x56, 0x78, 0x78, 0x56}, Bytes{1, 0xF0, 0xF0, 0xF0, 0xF0}}) {
        read();
        EXPECT_TRUE(done(TRUE));
        EXPECT_EQ(n, 65u);
        EXPECT_EQ(Bytes(in.begin(), in.begin() + 5), word); // the report ID first
    }
    // A read that completed before the cancel came stays done.
    EXPECT_FALSE(read());
    ASSERT_TRUE(query());
    ASSERT_TRUE(signalled(ev, 1000));
    CancelIo(h);
    EXPECT_TRUE(done(TRUE));
    EXPECT_EQ(Bytes(in.begin() + 1, in.begin() + 5), (Bytes{0x56, 0x78, 0x78, 0x56}));
    // The second word is still there; then close ends the read in flight.
    read();
    EXPECT_TRUE(done(TRUE));
    EXPECT_EQ(in[1], 0xF0);
    EXPECT_FALSE(read());
    CloseHandle(idle);
    CloseHandle(h);
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(os.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(error_of(read()), ERROR_INVALID_HANDLE);
    CloseHandle(ev);
}

TEST_F(HidBoard, ReadsTakeOneReportAndALateCancelLosesNothing) {
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
    std::fill(buf.begin(), buf.end(), 0xEE);
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

// A device that vanishes fails a read at once and a write with nothing written; the next
// one, acknowledging a report every 400 ms, stops a write at the first report not
// acknowledged within 100 ms.
TEST_F(HidBoard, AVanishingDeviceFailsAtOnceAndASlowOneStopsTheWrite) {
    open("--unplug-after-bytes 1");
    std::thread unplug([] {
        std::this_thread::sleep_for(200ms);
        const Bytes cmd = frame(ROM_CMD_IMAGE, FALCON_LOAD_ADDR, 64);
        hid_write(cmd.data(), 16, nullptr);
        hid_set_report_id(2);
        hid_write(cmd.data(), 1, nullptr);
    });
    auto t0 = Clock::now();
    EXPECT_EQ(hid_read(buf.data(), 64), 0);
    EXPECT_LT(Clock::now() - t0, 900ms); // the failed completion counts, not a timeout
    unplug.join();
    DWORD written = 5;
    EXPECT_EQ(hid_write(buf.data(), 10, &written), 0);
    EXPECT_EQ(written, 0u);
    open("--hid-interval-us 400000");
    t0 = Clock::now();
    EXPECT_EQ(hid_write(buf.data(), 100, &written), 0);
    EXPECT_GE(Clock::now() - t0, 90ms);
    EXPECT_LT(Clock::now() - t0, 390ms);
    EXPECT_EQ(written, 64u);
    hid_close();
    EXPECT_EQ(query_gate(), 0);
    EXPECT_EQ(hid_read(buf.data(), 4), 0);
}

// A report needs its ID byte and at least one payload byte.
TEST_F(HidBoard, ADeviceWhoseReportsCarryNoPayloadIsNotOpened) {
    start("--hid-declared-payload 0");
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 0);
    EXPECT_EQ(hid_handle, INVALID_HANDLE_VALUE);
    start("--hid-declared-payload 1");
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 1);
}

// The class calls refuse what is not theirs with the codes the part code sees: a handle of
// another kind, a missing or malformed record, a buffer too small, a path that is no
// hidraw node.
TEST(HidDevices, CallsRefuseWhatIsNotTheirs) {
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    GUID guid{};
    HidD_GetHidGuid(&guid);
    HIDD_ATTRIBUTES attrs{};
    PHIDP_PREPARSED_DATA pp = nullptr;
    HIDP_CAPS caps{};
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_EQ(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error_of(SetupDiEnumDeviceInterfaces(other, nullptr, &guid, 0, &data)),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(
        error_of(SetupDiGetDeviceInterfaceDetailW(other, &data, nullptr, 0, nullptr, nullptr)),
        ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(other));
    EXPECT_FALSE(HidD_GetAttributes(other, &attrs));
    EXPECT_FALSE(HidD_GetPreparsedData(other, &pp));
    EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_EQ(CreateFileW(L"/dev/null", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error_of(SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &data)),
              ERROR_INVALID_PARAMETER);
    data.Reserved = 0; // names no interface of the set
    EXPECT_EQ(error_of(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, nullptr, nullptr)),
              ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    CloseHandle(other);
}

} // namespace
