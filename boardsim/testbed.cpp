#include "boardsim/testbed.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace board {
namespace {

constexpr char kPreload[] = "libumockdev-preload.so.0";

UMockdevTestbed* g_bed = nullptr;
std::mutex g_bed_lock; // the boards' threads share the bed
// In a bed of ours: the process that owns it, so that a later board can tell one left behind.
constexpr char kOwnerFile[] = "larkspur-board.pid";

std::string take_error(GError* e) {
    std::string why = e ? e->message : "unknown error";
    if (e)
        g_error_free(e);
    return why;
}

// The sanitizer runtime this process was loaded with, if any: it must come first in
// LD_PRELOAD, before umockdev's wrappers, or it stops checking the wrapped calls.
std::string sanitizer_runtime() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        size_t at = line.find('/');
        if (at == std::string::npos)
            continue;
        std::string path = line.substr(at);
        if (path.find("/libasan.so") != std::string::npos ||
            path.find("/libtsan.so") != std::string::npos)
            return path;
    }
    return {};
}

} // namespace

std::string testbed_preload() {
    std::string runtime = sanitizer_runtime();
    return runtime.empty() ? kPreload : runtime + ":" + kPreload;
}

std::string testbed_reexec(char** argv) {
    const char* now = getenv("LD_PRELOAD");
    if (now && strstr(now, kPreload))
        return {};
    std::string preload = testbed_preload();
    if (now && *now)
        preload += std::string(":") + now;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    return std::string("cannot run under ") + kPreload + ": " + strerror(errno);
}

void testbed_sweep() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(g_get_tmp_dir(), ec)) {
        if (e.path().filename().string().rfind("umockdev.", 0) != 0)
            continue;
        struct stat st;
        if (lstat(e.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
            continue;
        std::ifstream owner(e.path() / kOwnerFile);
        long pid = 0;
        if (!(owner >> pid) || pid <= 0 || kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        fs::remove_all(e.path(), ec);
    }
}

bool testbed_create(std::string& err) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    g_bed = umockdev_testbed_new();
    if (!g_bed) {
        err = "cannot create the umockdev test bed";
        return false;
    }
    gchar* root = umockdev_testbed_get_root_dir(g_bed);
    std::ofstream(std::string(root) + "/" + kOwnerFile) << getpid() << "\n";
    g_free(root);
    return true;
}

void testbed_destroy() {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    if (g_bed)
        g_object_unref(g_bed);
    g_bed = nullptr;
}

std::string testbed_env() {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    gchar* root = umockdev_testbed_get_root_dir(g_bed);
    std::string env = std::string("UMOCKDEV_DIR=") + root;
    g_free(root);
    const char* preload = getenv("LD_PRELOAD");
    return env + " LD_PRELOAD=" + (preload ? preload : kPreload);
}

std::string testbed_hex(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s.append({"0123456789ABCDEF"[p[i] >> 4], "0123456789ABCDEF"[p[i] & 15]});
    return s;
}

bool testbed_add(const std::string& record, std::string& err) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    GError* e = nullptr;
    if (umockdev_testbed_add_from_string(g_bed, record.c_str(), &e))
        return true;
    err = take_error(e);
    return false;
}

void testbed_announce_removal(const std::string& syspath) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    umockdev_testbed_uevent(g_bed, syspath.c_str(), "remove");
}

void testbed_drop(const std::string& syspath) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    umockdev_testbed_remove_device(g_bed, syspath.c_str());
}

void testbed_remove(const std::string& syspath) {
    testbed_announce_removal(syspath);
    testbed_drop(syspath);
}

unsigned testbed_next_hidraw() {
    static std::atomic<unsigned> n{0};
    return n++;
}

unsigned testbed_next_devnum() {
    static std::atomic<unsigned> n{2}; // 1 is the root hub's
    return n++;
}

std::string testbed_usb_syspath(const std::string& port) {
    return "/sys/devices/larkspur-board/usb1/" + port;
}

std::string testbed_usb_record(const std::string& port, unsigned devnum, const std::string& lines) {
    char numbers[160];
    snprintf(numbers, sizeof numbers,
             "E: BUSNUM=001\nE: DEVNUM=%03u\nA: busnum=1\\n\nA: devnum=%u\\n\n", devnum, devnum);
    // As udev's path_id names a USB port: the controller, then "usb-0:" and the port path.
    return "P: " + testbed_usb_syspath(port).substr(4) +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
           "E: ID_PATH=platform-larkspur-board-usb-0:" +
           port.substr(2) + "\n" + numbers + lines;
}

UMockdevIoctlBase* testbed_attach(const std::string& devnode, GCallback on_ioctl, GCallback on_read,
                                  GCallback on_write, void* ctx, std::string& err) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    if (on_ioctl)
        g_signal_connect(h, "handle-ioctl", on_ioctl, ctx);
    if (on_read)
        g_signal_connect(h, "handle-read", on_read, ctx);
    if (on_write)
        g_signal_connect(h, "handle-write", on_write, ctx);
    GError* e = nullptr;
    if (!umockdev_testbed_attach_ioctl(g_bed, devnode.c_str(), h, &e)) {
        err = take_error(e);
        g_object_unref(h);
        return nullptr;
    }
    return h;
}

int testbed_pty_master(const std::string& devnode) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    int fd = umockdev_testbed_get_dev_fd(g_bed, devnode.c_str());
    termios tio;
    // Raw: the bytes that keep the node readable must not echo back or be translated.
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

std::string testbed_path(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_bed_lock);
    gchar* root = umockdev_testbed_get_root_dir(g_bed);
    std::string in_bed = std::string(root) + path;
    g_free(root);
    return in_bed;
}

std::string testbed_pty_slave(const std::string& devnode) {
    std::string link = testbed_path(devnode);
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : std::string();
}

} // namespace board
