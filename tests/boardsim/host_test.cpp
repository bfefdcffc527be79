// The real host code as the board's client: the UART transport on the board's pty through
// the device directory, the HID transport finding a falcon board by its IDs, and the USB
// bulk transport claiming a heron board on the virtual bus.
#include "tests/boardsim/client.h"
#include "transport/hid/hid.h"
#include "transport/uart/uart.h"
#include "transport/usbbulk/usbbulk.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace bt;

namespace {

constexpr uint32_t kDevelop = 0x56787856, kCmd = 0x128A8A12, kDone = 0x88888888;

uint32_t uart_word() {
    uint32_t w = 0;
    uart_read(4, &w);
    return w;
}

// What the board said on the line, gathered as the console relay does: queued count, read.
std::string uart_text_until(const std::string& text, ms timeout) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        DWORD errors = 0;
        COMSTAT stat{};
        ClearCommError(uart_handle, &errors, &stat);
        if (stat.cbInQue == 0) {
            Sleep(5);
            continue;
        }
        std::string buf(stat.cbInQue, '\0');
        uart_read(stat.cbInQue, buf.data());
        out += buf;
    }
    return out;
}

TEST(HostClient, UartTransportBringsUpAnEgretBoard) {
    BoardProc b({"--target", "egret", "--com", "7"});
    ASSERT_TRUE(b.wait_log("READY com7"));
    setenv("LARKSPUR_DEVICES", b.dir.path().c_str(), 1);
    ASSERT_EQ(OpenUART("COM7"), 1);
    DWORD n = 0;
    auto f = frame(0x0303);
    ASSERT_NE(uart_write(f.data(), 16, &n), 0);
    EXPECT_EQ(uart_word(), kDevelop);

    std::string img = place_dcd("egret", test_image("egret"), example_writes("egret"), false);
    f = frame(0x0404, 0xF8006000, 0, uint32_t(img.size()), 0, 0xAA);
    ASSERT_NE(uart_write(f.data(), 16, &n), 0);
    EXPECT_EQ(uart_word(), kDevelop);
    ASSERT_NE(uart_write(img.data(), DWORD(img.size()), &n), 0);
    EXPECT_EQ(n, img.size());
    f = frame(0x0505);
    ASSERT_NE(uart_write(f.data(), 16, &n), 0);
    EXPECT_EQ(uart_word(), kDone);
    std::string out = uart_text_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(out.find("Image check: OK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("DDR test: PASS\r\n"), std::string::npos) << out;
    ASSERT_NE(uart_write("z", 1, &n), 0);
    EXPECT_EQ(uart_text_until("\r\n", 2000ms), "Key 0x7a\r\n");
    uart_close();
    uart_handle = 0;
    EXPECT_TRUE(b.wait_log("IMAGE 8192 0xf8006000\n"));
}

uint32_t hid_word() {
    uint32_t w = 0;
    hid_read(&w, 4);
    return w;
}

TEST(HostClient, HidTransportFindsAndBringsUpAFalconBoard) {
    BoardProc b({"--target", "merlin", "--reappear-after", "50"});
    ASSERT_TRUE(b.wait_log("READY hid-merlin"));
    setenv("LARKSPUR_DEVICES", b.dir.path().c_str(), 1);
    EXPECT_EQ(hid_open(FALCON_VENDOR_ID, KESTREL_PRODUCT_ID), 0);
    ASSERT_EQ(hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID), 1);
    EXPECT_EQ(hid_caps.InputReportByteLength, 65);
    EXPECT_EQ(hid_caps.OutputReportByteLength, 65);

    DWORD n = 0;
    hid_set_report_id(1);
    auto f = frame(0x0505);
    ASSERT_EQ(hid_write(f.data(), 16, &n), 1);
    EXPECT_EQ(hid_word(), kDevelop);
    hid_word(); // the second word, discarded
    for (const Write& w : example_writes("merlin")) {
        f = frame(0x0202, w.addr, 0x20, 0, w.value);
        ASSERT_EQ(hid_write(f.data(), 16, &n), 1);
        ASSERT_EQ(hid_word(), kDevelop);
        ASSERT_EQ(hid_word(), kCmd);
    }
    std::string img = test_image("merlin");
    f = frame(0x0404, 0x00907000, 0, uint32_t(img.size()), 0, 0xAA);
    ASSERT_EQ(hid_write(f.data(), 16, &n), 1);
    hid_set_report_id(2);
    ASSERT_EQ(hid_write(img.data(), DWORD(img.size()), &n), 1);
    EXPECT_EQ(hid_word(), kDevelop);
    EXPECT_EQ(hid_word(), kDone);
    hid_set_report_id(1);
    f = frame(0x0B0B, 0x00907000);
    ASSERT_EQ(hid_write(f.data(), 16, &n), 1);
    EXPECT_EQ(hid_word(), kDevelop);
    hid_close();

    // The test program's device: once the ROM's has gone (the host settles for seconds
    // first), found again by polling, greeted, heard.
    ASSERT_TRUE(b.wait_log("GONE\n"));
    int opened = 0;
    for (int i = 0; i < 50 && !opened; ++i) {
        Sleep(100);
        opened = hid_open(FALCON_VENDOR_ID, MERLIN_PRODUCT_ID);
    }
    ASSERT_EQ(opened, 1);
    hid_set_report_id(2);
    uint8_t greeting = 0xA5;
    ASSERT_EQ(hid_write(&greeting, 1, &n), 1);
    std::string text;
    for (int i = 0; i < 40 && text.find("DDR test: PASS\r\n") == std::string::npos; ++i) {
        char buf[256] = {};
        if (hid_read(buf, 64) == 1)
            text += std::string(buf, strnlen(buf, 64));
    }
    EXPECT_NE(text.find("Image check: OK\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DDR test: PASS\r\n"), std::string::npos) << text;
    hid_close();
    EXPECT_TRUE(b.wait_log("GREETING\n"));
}

uint32_t usb_word(int32_t timeout_ms = 1000) {
    uint32_t w = 0;
    usb_read(4, USB_ROW_HERON, &w, timeout_ms);
    return w;
}

bool usb_send(const void* data, uint32_t n) {
    return usb_write(n, data, USB_ROW_HERON, 2000) == 1;
}

TEST(HostClient, UsbBulkTransportClaimsAHeronBoard) {
    BoardProc b({"--target", "heron", "--transport", "usb", "--reappear-after", "50"});
    ASSERT_TRUE(b.wait_log("READY usb"));
    setenv("LARKSPUR_DEVICES", b.dir.path().c_str(), 1);
    ASSERT_EQ(OpenUSB(USB_ROW_HERON, 5), 1);
    auto f = frame(0x0303);
    ASSERT_TRUE(usb_send(f.data(), 16));
    EXPECT_EQ(usb_word(), kDevelop);
    std::string img = place_dcd("heron", test_image("heron"), example_writes("heron"), true);
    f = frame(0x0404, 0x1FFE6000, 0, uint32_t(img.size()), 0, 0xAA);
    ASSERT_TRUE(usb_send(f.data(), 16));
    EXPECT_EQ(usb_word(), kDevelop);
    ASSERT_TRUE(usb_send(img.data(), uint32_t(img.size())));
    f = frame(0x0505);
    ASSERT_TRUE(usb_send(f.data(), 16));
    EXPECT_EQ(usb_word(), kDone);
    CloseUSB();

    // The test program's device, claimed anew, handshaken, heard one word per character.
    ASSERT_TRUE(b.wait_count("READY usb", 2)) << b.log();
    ASSERT_EQ(OpenUSB(USB_ROW_HERON, 5), 1);
    uint32_t hs = 0x900D900D;
    ASSERT_TRUE(usb_send(&hs, 4));
    EXPECT_EQ(usb_word(), hs);
    std::string text;
    for (int i = 0; i < 2000 && text.find("DDR test: PASS\r\n") == std::string::npos; ++i) {
        uint32_t w = 0;
        if (usb_read(4, USB_ROW_HERON, &w, 100) == 1)
            text += char(w & 0xFF);
    }
    EXPECT_NE(text.find("Console: usb\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DDR test: PASS\r\n"), std::string::npos) << text;
    CloseUSB();
    EXPECT_TRUE(b.wait_log("HANDSHAKE\n"));
}

} // namespace
