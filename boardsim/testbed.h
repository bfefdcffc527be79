// The board's umockdev test bed: a private sysfs tree, udev database and /dev nodes in which
// its HID and USB devices exist for a host that runs under umockdev's preload with
// UMOCKDEV_DIR naming the bed. The host's read, write and ioctl calls on a node reach a
// handler here on umockdev's worker thread; the board's loop answers them.
#pragma once

#include <umockdev.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace board {

// The preload that puts a process into the emulation, with a sanitizer's runtime (when the
// board was built with one) first, as that runtime requires.
std::string testbed_preload();

// Runs the board anew under the preload when it does not run under it yet: only a process
// under the preload sends the bed's uevents. Returns (with the reason) only on failure.
std::string testbed_reexec(char** argv);

// Removes the beds that boards killed before they could remove their own left behind.
void testbed_sweep();
// Creates the bed; false and the reason on failure. Every call here may come from any of the
// boards' threads.
bool testbed_create(std::string& err);
// Takes the bed's directory away.
void testbed_destroy();
// What a host's environment must hold to run in the bed, as "NAME=value NAME=value".
std::string testbed_env();

// A binary attribute's value as a record's "H:" line takes it.
std::string testbed_hex(const uint8_t* p, size_t n);
// Devices in the record format of umockdev-record; each paragraph one device.
bool testbed_add(const std::string& record, std::string& err);
// The device leaves: a "remove" uevent, then its sysfs entries and node go (and with them
// the handler's hold on the descriptors still open on the node: umockdev's default handler
// answers them from then on).
void testbed_remove(const std::string& syspath);
// The two halves, for a device whose host must still reach its handler after the uevent.
void testbed_announce_removal(const std::string& syspath);
void testbed_drop(const std::string& syspath);

// Numbers that must differ between the boards of one bed: hidraw minors (and hid sequence
// numbers), USB device addresses on bus 1.
unsigned testbed_next_hidraw();
unsigned testbed_next_devnum();
// The sysfs path of the USB device on a port of bus 1 ("1-3.2"), and its record: what a
// USB board's device and a HID board's USB parent share. The device's attributes come in
// `attrs` (record lines); ID_PATH and the bus's numbers are added here.
std::string testbed_usb_syspath(const std::string& port);
std::string testbed_usb_record(const std::string& port, unsigned devnum, const std::string& lines);

// A handler for the calls on a node, attached before the node appears so that no early
// open finds umockdev's default handler.
UMockdevIoctlBase* testbed_attach(const std::string& devnode, GCallback on_ioctl, GCallback on_read,
                                  GCallback on_write, void* ctx, std::string& err);

// Where a node (or another path of the emulated /dev or /sys) lies in the bed.
std::string testbed_path(const std::string& path);

// The board's end of a node's pseudo-terminal (umockdev's master), in raw mode, and the
// node's own path (the pty's slave), -1 / empty when the node has none.
int testbed_pty_master(const std::string& devnode);
std::string testbed_pty_slave(const std::string& devnode);

} // namespace board
