#include "app/run.h"

#include "app/relay.h"
#include "app/utility.h"
#include "platform/board_port.h"
#include "platform/screen.h"
#include "platform/shared.h"
#include "platform/winapi.h"
#include "ddrconfig/ddrconfig.h"
#include "romproto/romproto.h"
#include "transport/hid/hid.h"
#include "transport/transport.h"
#include "transport/uart/uart.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

int target_id = TARGET_NONE;

namespace {

// How long OpenUSB waits for the board to attach, and a USB read for its data.
constexpr uint32_t USB_ATTACH_WAIT_S = 30;
constexpr uint32_t USB_READ_TIMEOUT_MS = 50;
// The last byte of the image download frame.
constexpr uint8_t IMAGE_FRAME_TAIL = 0xAA;

using file_handle = std::unique_ptr<FILE, int (*)(FILE*)>;

file_handle open_file(const char* name) {
    return {std::fopen(name, "rb"), std::fclose};
}

int target_from_name(const char* name) {
    if (std::strcmp(name, "egret") == 0)
        return TARGET_EGRET;
    if (std::strcmp(name, "heron") == 0)
        return TARGET_HERON;
    return TARGET_FALCON;
}

// Step 3: open the board on the transport the options chose. False after the failure line.
bool open_device(const cmd_options& s_out) {
    if (current_route() == route::usb_bulk) {
        dev_set_usb_row(current_target().usb_row);
        dev_set_usb_waits(USB_ATTACH_WAIT_S, USB_READ_TIMEOUT_MS);
        if (dev_open_usb(0) != 1) {
            msg_printf("OpenUSB() failed! Please make sure board connected and in serial "
                       "download mode.\n");
            board_port_missing();
            use_usb = 0;
            return false;
        }
        msg_printf("OpenUSB() OK!\n");
        return true;
    }
    if (current_route() == route::hid) {
        for (int variant : {TARGET_KESTREL, TARGET_MERLIN, TARGET_HOBBY}) {
            if (hid_open(FALCON_VENDOR_ID, target_table[variant].product_id) == 1) {
                target_id = variant;
                msg_printf("%s", current_target().opened);
                return true;
            }
        }
        msg_printf("Open FALCON device failed! Please make sure board connected and in "
                   "serial download mode.\n");
        board_port_missing();
        return false;
    }
    char str_buf_com_num[256];
    std::snprintf(str_buf_com_num, sizeof str_buf_com_num, "COM%s", s_out.com_num);
    if (!OpenUART(str_buf_com_num)) {
        msg_printf("Open com%s failed!\n", s_out.com_num);
        return false;
    }
    msg_printf("Open %s OK.\n", str_buf_com_num);
    return true;
}

// Steps 9 to 13: the test image read whole, the DCD area placed into it. Null after the
// failure line.
image_buffer load_image(uint32_t* image_size) {
    char str_buf_in_image[256];
    std::snprintf(str_buf_in_image, sizeof str_buf_in_image, "%s", current_target().image_file);
    file_handle f = open_file(str_buf_in_image);
    if (!f) {
        msg_printf("Open the image file %s failed.\n", str_buf_in_image);
        return nullptr;
    }
    long size = -1;
    if (std::fseek(f.get(), 0, SEEK_END) == 0)
        size = std::ftell(f.get());
    if (size <= 0 || size > 0x7FFFFFFF || std::fseek(f.get(), 0, SEEK_SET) != 0) {
        msg_printf("Read the image file %s failed.\n", str_buf_in_image);
        return nullptr;
    }
    if (static_cast<size_t>(size) < dcd_region_end(target_id)) {
        msg_printf("The image file %s is too small.\n", str_buf_in_image);
        return nullptr;
    }
    image_buffer image_buf(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
    if (!image_buf) {
        msg_printf("malloc failed.\n");
        return nullptr;
    }
    if (std::fread(image_buf.get(), 1, static_cast<size_t>(size), f.get()) !=
        static_cast<size_t>(size)) {
        msg_printf("Read the image file %s failed.\n", str_buf_in_image);
        return nullptr;
    }
    place_dcd_area(image_buf.get(), static_cast<size_t>(size));
    *image_size = static_cast<uint32_t>(size);
    return image_buf;
}

// The download's progress on the console's status line, at most every 200 ms and at the
// end; the next message line wipes it.
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(200);
std::chrono::steady_clock::time_point progress_shown_at; // zero: not shown yet

// Given to the download only while standard error is a console.
void progress_show(uint32_t done, uint32_t total) {
    auto now = std::chrono::steady_clock::now();
    if (progress_shown_at != std::chrono::steady_clock::time_point{} && done < total &&
        now - progress_shown_at < PROGRESS_EVERY)
        return;
    progress_shown_at = now;
    status_show("%u / %u bytes (%u%%)", done, total,
                static_cast<unsigned>(uint64_t{done} * 100 / total));
}

} // namespace

int larkspur_run(int argc, char** argv) {
    // Step 1: the command line.
    static char str_exe_name_buf[256];
    std::snprintf(str_exe_name_buf, sizeof str_exe_name_buf, "%s",
                  argv[0] + base_name_offset(argv[0]));
    if (argc < 2) {
        print_usage(str_exe_name_buf);
        return 0;
    }
    cmd_options s_out = {};
    int result = parse_options(argc - 1, argv + 1, &s_out);
    if (result == PARSE_HELP) {
        print_usage(str_exe_name_buf);
        return 0;
    }
    if (result == PARSE_VERSION) {
        print_version();
        return 0;
    }
    if (result < 0 || check_options(s_out) != 0)
        return -1;

    // Keys typed from here on wait unechoed for the test program (on POSIX the console's
    // first look takes a terminal over), so none lands on a status line.
    _kbhit();

    // Steps 2 and 3: target and device.
    target_id = target_from_name(s_out.target);
    if (!open_device(s_out))
        return -1;

    // Steps 4 to 8: script, map, DCD area.
    file_handle p_ddr_init_file = open_file(s_out.ddr_file);
    if (!p_ddr_init_file) {
        msg_printf("Open ddr init file %s failed.\n", s_out.ddr_file);
        return -1;
    }
    std::vector<dcd_node> array_dcd_node(FALCON_MAX_ENTRIES, dcd_node{0, 0});
    uint32_t dcd_len = max_dcd_entries(target_id);
    const range_table* ranges = range_table_for(target_id);
    if (parse_ddr_init_script(p_ddr_init_file.get(), array_dcd_node.data(), &dcd_len) != 0) {
        msg_printf("The ddr init file has some syntax error.\n");
        return -1;
    }
    p_ddr_init_file.reset();
    if (check_dcd_addresses(array_dcd_node.data(), dcd_len, ranges->rows, ranges->table) != 0) {
        msg_printf("the addr out of valid range.\n");
        return -1;
    }
    bool falcon = current_route() == route::hid;
    if (!falcon) {
        reset_dcd_tables();
        encode_dcd(array_dcd_node.data(), dcd_len);
    }

    // Steps 9 to 13: the test image.
    uint32_t image_size = 0;
    image_buffer image_buf = load_image(&image_size);
    if (!image_buf)
        return -1;

    // Steps 14 to 18: the boot ROM.
    uint8_t gate_type = 0;
    if (rom_check_gate(&gate_type) == 0) {
        msg_printf("rom_check_gate() failed.Please make sure board connected and in serial "
                   "download mode.\n");
        dev_close();
        return -1;
    }
    if (gate_type == GATE_TYPE_PRODUCT) {
        msg_printf("GATE_TYPE: PRODUCT. Not supported yet.\n");
        return -1;
    }
    msg_printf("GATE_TYPE: DEVELOP\n");
    if (falcon && write_dcd(array_dcd_node.data(), dcd_len) == 0) {
        msg_printf("Write dcd failed.\n");
        return -1;
    }
    msg_printf("Image loading...\n");
    unsigned sent = rom_write_image(image_buf.get(), image_size, current_target().load_addr,
                                    IMAGE_FRAME_TAIL, status_on() ? progress_show : nullptr);
    if (sent != 1) {
        msg_printf("download Image to IRAM failed\n");
        dev_close();
        return -1;
    }
    msg_printf("download Image to IRAM OK\n\n");
    rom_jump();

    // Step 19: the test program's console.
    return console_relay(s_out.target, std::move(image_buf));
}
