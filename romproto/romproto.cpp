#include "romproto/romproto.h"

#include "platform/screen.h"
#include "platform/shared.h"
#include "platform/winapi.h"
#include "transport/transport.h"

#include <cstdio>

namespace {

bool is_falcon() {
    return current_route() == route::hid;
}

// Builds and sends one frame; on falcon the frame travels with report ID 1 unless the
// exchange keeps the ID as it is.
bool send_frame(uint16_t code, uint32_t addr, uint8_t width, uint32_t length, uint32_t value,
                uint8_t tail, bool select_report_id = true) {
    rom_command cmd;
    rom_build_command(&cmd, code, addr, width, length, value, tail);
    if (is_falcon() && select_report_id)
        dev_set_report_id(1);
    uint32_t written = 0;
    return dev_write(cmd.bytes.data(), static_cast<uint32_t>(cmd.bytes.size()), &written) != 0;
}

// One acknowledgement word. A failed or short read leaves the bytes it did not fill at
// zero, so it shows in the failure message as received.
uint32_t read_ack() {
    uint8_t ack[4] = {0, 0, 0, 0};
    dev_read(ack, sizeof ack);
    return get_le32(ack);
}

bool is_gate_ack(uint32_t ack) {
    return ack == ROM_ACK_PRODUCT || ack == ROM_ACK_DEVELOP;
}

// Reads one word that must be want; prints the exchange's failure line otherwise.
bool read_word(uint32_t want, const char* exchange_and_word) {
    uint32_t ack = read_ack();
    if (ack == want)
        return true;
    msg_printf("%s failed 0x%08x\n", exchange_and_word, ack);
    return false;
}

// Reads one word that must be a GATE ack; prints the exchange's failure line otherwise.
bool read_gate_ack(const char* exchange) {
    uint32_t ack = read_ack();
    if (is_gate_ack(ack))
        return true;
    msg_printf("%s: reading GATE ack failed 0x%08x\n", exchange, ack);
    return false;
}

} // namespace

void rom_build_command(rom_command* cmd, uint16_t code, uint32_t addr, uint8_t width,
                       uint32_t length, uint32_t value, uint8_t tail) {
    uint8_t* b = cmd->bytes.data();
    put_be(b, code, 2);
    put_be(b + 2, addr, 4);
    b[6] = width;
    put_be(b + 7, length, 4);
    put_be(b + 11, value, 4);
    b[15] = tail;
}

unsigned rom_check_gate(uint8_t* gate_type) {
    uint16_t code = is_falcon() ? ROM_CMD_EXEC : ROM_CMD_GATE;
    if (!send_frame(code, 0, 0, 0, 0, 0)) {
        msg_printf("rom_check_gate: writing cmd to device failed and error code is %d\n",
                   static_cast<int>(GetLastError()));
        return 0;
    }
    uint32_t ack = read_ack();
    if (!is_gate_ack(ack)) {
        msg_printf("rom_check_gate: reading GATE ack failed 0x%08x\n", ack);
        return 0;
    }
    *gate_type = ack == ROM_ACK_PRODUCT ? GATE_TYPE_PRODUCT : GATE_TYPE_DEVELOP;
    if (is_falcon())
        read_ack(); // the falcon ROM sends one more word, which carries nothing we use
    return 1;
}

unsigned rom_write(uint32_t addr, uint32_t value) {
    if (!send_frame(ROM_CMD_WRITE, addr, ROM_WIDTH_32, 0, value, 0)) {
        msg_printf("rom_write: writing to device failed\n");
        return 0;
    }
    if (!read_gate_ack("rom_write"))
        return 0;
    return read_word(ROM_ACK_CMD, "rom_write: reading CMD ack") ? 1 : 0;
}

unsigned rom_write_image(const uint8_t* image, uint32_t size, uint32_t load_addr, uint8_t tail,
                         rom_progress_fn progress) {
    static const char name[] = "rom_write_image";
    if (!send_frame(ROM_CMD_IMAGE, load_addr, 0, size, 0, tail)) {
        msg_printf("%s: writing cmd to device failed\n", name);
        return 0;
    }
    // The older ROM acknowledges the frame before the image, the falcon ROM after it.
    bool falcon = is_falcon();
    if (!falcon && !read_gate_ack(name))
        return 0;
    if (falcon)
        dev_set_report_id(2);
    // Pieces only for a progress display: without one the image goes in one write, as ever.
    const uint32_t piece = progress ? dev_image_piece() : 0;
    for (uint32_t done = 0; done < size;) {
        const uint32_t n = piece && size - done > piece ? piece : size - done;
        uint32_t written = 0;
        // A write that stopped short (its timeout ran out) left the image incomplete.
        if (!dev_write_image(image + done, n, &written) || written != n) {
            msg_printf("%s: sending file failed\n", name);
            return 0;
        }
        done += n;
        if (progress)
            progress(done, size);
    }
    if (!falcon)
        return 1;
    if (!read_gate_ack(name))
        return 0;
    return read_word(ROM_ACK_DONE, "rom_write: reading CMD ack") ? 1 : 0;
}

unsigned rom_jump() {
    bool falcon = is_falcon();
    bool sent = falcon ? send_frame(ROM_CMD_FALCON_JUMP, FALCON_LOAD_ADDR, 0, 0, 0, 0)
                       : send_frame(ROM_CMD_EXEC, 0, 0, 0, 0, 0);
    if (!sent) {
        msg_printf("rom_exec: writing cmd to device failed\n");
        return 0;
    }
    if (falcon)
        return read_gate_ack("rom_jump") ? 1 : 0;
    return read_word(ROM_ACK_DONE, "rom_exec: reading ERROR ack") ? 1 : 0;
}

unsigned rom_read(uint32_t addr, void* buf, uint32_t count) {
    if (!send_frame(ROM_CMD_READ, addr, ROM_WIDTH_32, count, 0, 0, false)) {
        msg_printf("rom_write: writing to device failed\n");
        return 0;
    }
    uint32_t ack = read_ack();
    if (!is_gate_ack(ack)) {
        msg_printf("rom_read: reading GATE ack failed: 0x%08x\n", ack);
        return 0;
    }
    return static_cast<unsigned>(dev_read(buf, count));
}

unsigned write_dcd(const dcd_node* nodes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (!rom_write(nodes[i].addr, nodes[i].value)) {
            msg_printf("ROM Write failed, addr: 0x%08x\n", nodes[i].addr);
            return 0;
        }
    }
    return 1;
}
