// larkspur-plain-client: the transfers of a larkspur run, made without larkspur through the
// same device calls (hidraw found through udev, usbfs through libusb), so that the wire
// benchmark can tell what the emulation of those devices costs from what larkspur adds.
//
//   larkspur-plain-client hid-replay VID PID SCRIPT IMAGE  the boot ROM exchanges of a run
//   larkspur-plain-client usb-replay VID PID SCRIPT IMAGE
//   larkspur-plain-client hid-idle VID PID SECONDS   a read waited on in 10 ms slices
//   larkspur-plain-client usb-idle VID PID SECONDS   4-byte bulk reads of 10 ms, back to back
//   larkspur-plain-client hid-keys VID PID N MS      N keys, each after 5 + 0..MS ms
//   larkspur-plain-client usb-keys VID PID N MS
//
// SCRIPT is what a run's board logged, one step a line: "F <hex>" a 16-byte frame to send,
// "W" a word to read back, "I" the image file to send, "T" the download's start. Prints
// "seconds S cpu C rss R": the download's wall time from T to the end (or the idle time), the
// process's CPU time (a replay's: the whole process, start-up included) and its peak
// resident memory in KiB. A key is a report with ID 2 (HID) or a 16-byte write (USB) that
// the boot ROM refuses and logs; "sent T" gives the moment each went.
#include <fcntl.h>
#include <libudev.h>
#include <libusb.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr size_t kReportLen = 65; // the board's reports, report ID first
constexpr unsigned char kOut = 0x01, kIn = 0x82;
constexpr unsigned kSliceMs = 10;

double clock_s(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double now_s() {
    return clock_s(CLOCK_MONOTONIC);
}

double cpu_s() {
    return clock_s(CLOCK_PROCESS_CPUTIME_ID);
}

void sleep_s(double s) {
    timespec ts{time_t(s), long((s - double(time_t(s))) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void report(double seconds, double cpu) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::printf("seconds %.6f cpu %.6f rss %ld\n", seconds, cpu, u.ru_maxrss);
}

// Keys at random moments, as the wire benchmark types them into larkspur.
void keys(int n, double max_ms, const std::function<void()>& send) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> phase(0, max_ms / 1e3);
    for (int i = 0; i < n; ++i) {
        sleep_s(0.005 + phase(rng));
        std::printf("sent %.6f\n", now_s());
        send();
    }
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    if (out.size() != 16)
        fail("a frame is 16 bytes: " + hex);
    return out;
}

// The steps of a replay, each done by the transport's own calls.
struct Steps {
    std::function<void(const std::vector<uint8_t>&)> frame;
    std::function<void()> word;
    std::function<void(const std::vector<uint8_t>&)> image;
};

void replay(const std::string& script_path, const std::vector<uint8_t>& image, const Steps& s) {
    std::ifstream script(script_path);
    double t0 = -1;
    std::string line;
    int steps = 0;
    while (std::getline(script, line)) {
        std::istringstream in(line);
        std::string op, arg;
        in >> op >> arg;
        if (op == "T")
            t0 = now_s();
        else if (op == "F")
            s.frame(from_hex(arg));
        else if (op == "W")
            s.word();
        else if (op == "I")
            s.image(image);
        else
            fail("a script line is \"F <hex>\", \"W\", \"I\" or \"T\": " + line);
        ++steps;
    }
    if (steps == 0 || t0 < 0)
        fail("the script " + script_path + " holds no download");
    report(now_s() - t0, cpu_s());
}

std::vector<uint8_t> read_image(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.empty())
        fail("cannot read " + path);
    return bytes;
}

// ---- HID --------------------------------------------------------------------------------

// The hidraw node of the device with these IDs, as a client finds it: through udev.
std::string find_hidraw(unsigned vid, unsigned pid) {
    char want[32];
    std::snprintf(want, sizeof want, "0003:%08X:%08X", vid, pid);
    std::unique_ptr<udev, decltype(&udev_unref)> u(udev_new(), udev_unref);
    std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> e(udev_enumerate_new(u.get()),
                                                                       udev_enumerate_unref);
    udev_enumerate_add_match_subsystem(e.get(), "hidraw");
    udev_enumerate_scan_devices(e.get());
    std::string node;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        udev_device* d = udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry));
        if (!d)
            continue;
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(d, "hid", nullptr);
        const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
        const char* devnode = udev_device_get_devnode(d);
        if (node.empty() && id && devnode && strcasecmp(id, want) == 0)
            node = devnode;
        udev_device_unref(d);
    }
    if (node.empty())
        fail(std::string("no hidraw device ") + want);
    return node;
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

void hid_write(int fd, uint8_t id, const uint8_t* data, size_t n) {
    uint8_t report[kReportLen] = {id};
    std::memcpy(report + 1, data, n);
    if (write(fd, report, sizeof report) != ssize_t(sizeof report))
        fail(std::string("hidraw write: ") + std::strerror(errno));
}

void hid_read(int fd) {
    uint8_t report[kReportLen];
    if (read(fd, report, sizeof report) <= 0)
        fail(std::string("hidraw read: ") + std::strerror(errno));
}

// Frames go in reports with ID 1, the image in reports with ID 2, each word comes back in a
// report of its own.
void hid_replay(unsigned vid, unsigned pid, const std::string& script,
                const std::vector<uint8_t>& image) {
    Fd dev(open(find_hidraw(vid, pid).c_str(), O_RDWR | O_CLOEXEC));
    if (dev.fd < 0)
        fail(std::string("hidraw open: ") + std::strerror(errno));
    constexpr size_t payload = kReportLen - 1;
    replay(script, image,
           {[&](const std::vector<uint8_t>& f) { hid_write(dev.fd, 1, f.data(), f.size()); },
            [&] { hid_read(dev.fd); },
            [&](const std::vector<uint8_t>& img) {
                for (size_t off = 0; off < img.size(); off += payload)
                    hid_write(dev.fd, 2, img.data() + off, std::min(payload, img.size() - off));
            }});
}

void hid_idle(unsigned vid, unsigned pid, double seconds) {
    Fd dev(open(find_hidraw(vid, pid).c_str(), O_RDWR | O_CLOEXEC));
    if (dev.fd < 0)
        fail(std::string("hidraw open: ") + std::strerror(errno));
    double t0 = now_s(), c0 = cpu_s();
    while (now_s() - t0 < seconds) {
        pollfd p{dev.fd, POLLIN, 0};
        if (poll(&p, 1, int(kSliceMs)) > 0)
            hid_read(dev.fd);
    }
    report(now_s() - t0, cpu_s() - c0);
}

void hid_keys(unsigned vid, unsigned pid, int n, double max_ms) {
    Fd dev(open(find_hidraw(vid, pid).c_str(), O_RDWR | O_CLOEXEC));
    if (dev.fd < 0)
        fail(std::string("hidraw open: ") + std::strerror(errno));
    const uint8_t key = 'k';
    keys(n, max_ms, [&] { hid_write(dev.fd, 2, &key, 1); });
}

// ---- USB bulk ---------------------------------------------------------------------------

struct Usb {
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    Usb(unsigned vid, unsigned pid) {
        if (libusb_init(&ctx) != 0)
            fail("libusb_init failed");
        h = libusb_open_device_with_vid_pid(ctx, uint16_t(vid), uint16_t(pid));
        if (!h)
            fail("no USB device with these IDs");
        if (int rc = libusb_claim_interface(h, 0); rc != 0)
            fail(std::string("claim: ") + libusb_error_name(rc));
    }
    ~Usb() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        libusb_exit(ctx);
    }
    int bulk(unsigned char ep, uint8_t* data, size_t n, unsigned timeout_ms) {
        int done = 0;
        int rc = libusb_bulk_transfer(h, ep, data, int(n), &done, timeout_ms);
        return rc == 0 || rc == LIBUSB_ERROR_TIMEOUT ? done : -1;
    }
};

// A frame in one bulk transfer, each word in a 4-byte read, the image in one transfer.
void usb_replay(unsigned vid, unsigned pid, const std::string& script,
                const std::vector<uint8_t>& image) {
    Usb usb(vid, pid);
    replay(script, image,
           {[&](std::vector<uint8_t> f) {
                if (usb.bulk(kOut, f.data(), f.size(), 50) != int(f.size()))
                    fail("a frame was not taken");
            },
            [&] {
                uint8_t word[4];
                if (usb.bulk(kIn, word, sizeof word, 1000) != int(sizeof word))
                    fail("a word did not come");
            },
            [&](std::vector<uint8_t> img) {
                if (usb.bulk(kOut, img.data(), img.size(), 10000) != int(img.size()))
                    fail("the image was not taken");
            }});
}

void usb_idle(unsigned vid, unsigned pid, double seconds) {
    Usb usb(vid, pid);
    double t0 = now_s(), c0 = cpu_s();
    uint8_t word[4];
    while (now_s() - t0 < seconds) {
        if (usb.bulk(kIn, word, sizeof word, kSliceMs) < 0)
            fail("a read failed");
    }
    report(now_s() - t0, cpu_s() - c0);
}

void usb_keys(unsigned vid, unsigned pid, int n, double max_ms) {
    Usb usb(vid, pid);
    keys(n, max_ms, [&] {
        uint8_t frame[16] = {0x00, 0xFF, 'k'}; // its code bytes differ: refused and logged
        if (usb.bulk(kOut, frame, sizeof frame, 50) != int(sizeof frame))
            fail("a key was not taken");
    });
}

} // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string> a(argv + 1, argv + argc);
        if (a.size() < 3)
            fail("usage: larkspur-plain-client MODE VID PID ...");
        const std::string& mode = a[0];
        unsigned vid = unsigned(std::stoul(a[1], nullptr, 16));
        unsigned pid = unsigned(std::stoul(a[2], nullptr, 16));
        if (mode == "hid-replay" && a.size() == 5)
            hid_replay(vid, pid, a[3], read_image(a[4]));
        else if (mode == "usb-replay" && a.size() == 5)
            usb_replay(vid, pid, a[3], read_image(a[4]));
        else if (mode == "hid-idle" && a.size() == 4)
            hid_idle(vid, pid, std::stod(a[3]));
        else if (mode == "usb-idle" && a.size() == 4)
            usb_idle(vid, pid, std::stod(a[3]));
        else if (mode == "hid-keys" && a.size() == 5)
            hid_keys(vid, pid, std::stoi(a[3]), std::stod(a[4]));
        else if (mode == "usb-keys" && a.size() == 5)
            usb_keys(vid, pid, std::stoi(a[3]), std::stod(a[4]));
        else
            fail("unknown mode or wrong arguments: " + mode);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "larkspur-plain-client: %s\n", e.what());
        return 1;
    }
}
