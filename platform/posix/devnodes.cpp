// Device nodes over udev. A USB device's location paths are its port's names: the sysfs
// name (1-3.2), as lsusb -t shows it, and udev's ID_PATH, as lab tooling matches boards.
#include "platform/posix/devnodes.h"

#include <libudev.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <vector>

namespace posix {
namespace {

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
template <class T> using UdevPtr = std::unique_ptr<T, UdevUnref>;

std::mutex g_lock;
std::vector<std::string> g_nodes; // node n is g_nodes[n - 1]
// A sysfs path names one place in the tree for good: its parent and its port never change,
// so each is asked of udev once (a search runs every 100 ms while a board is awaited).
std::map<DEVINST, DEVINST> g_parents;
std::map<DEVINST, std::optional<port_names>> g_ports; // none: no USB device

std::string syspath_of(DEVINST node) {
    std::lock_guard<std::mutex> lk(g_lock);
    return node >= 1 && node <= g_nodes.size() ? g_nodes[node - 1] : std::string();
}

port_names port_of(udev_device* dev) {
    udev_device* usb =
        udev_device_get_devtype(dev) && std::strcmp(udev_device_get_devtype(dev), "usb_device") == 0
            ? dev
            : udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    port_names out;
    if (!usb)
        return out;
    out.emplace_back(udev_device_get_sysname(usb));
    if (const char* id = udev_device_get_property_value(usb, "ID_PATH"))
        out.emplace_back(id);
    return out;
}

} // namespace

DEVINST devnode_of(const std::string& syspath) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = std::find(g_nodes.begin(), g_nodes.end(), syspath);
    if (it == g_nodes.end())
        it = g_nodes.insert(g_nodes.end(), syspath);
    return DEVINST(it - g_nodes.begin() + 1);
}

port_names usb_port_at(uint8_t bus, uint8_t address) {
    UdevPtr<udev> u(udev_new());
    UdevPtr<udev_enumerate> en(u ? udev_enumerate_new(u.get()) : nullptr);
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(en.get(), "DEVTYPE", "usb_device") < 0 ||
        udev_enumerate_scan_devices(en.get()) < 0)
        return {};
    udev_list_entry* e;
    udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en.get())) {
        UdevPtr<udev_device> dev(
            udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(e)));
        const char* b = dev ? udev_device_get_sysattr_value(dev.get(), "busnum") : nullptr;
        const char* a = dev ? udev_device_get_sysattr_value(dev.get(), "devnum") : nullptr;
        if (b && a && std::atoi(b) == bus && std::atoi(a) == address)
            return port_of(dev.get());
    }
    return {};
}

} // namespace posix

using namespace posix;

CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG) {
    if (!parent)
        return CR_INVALID_POINTER;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        if (auto it = g_parents.find(node); it != g_parents.end()) {
            *parent = it->second;
            return CR_SUCCESS;
        }
    }
    const std::string path = syspath_of(node);
    UdevPtr<udev> u(udev_new());
    UdevPtr<udev_device> dev(
        u && !path.empty() ? udev_device_new_from_syspath(u.get(), path.c_str()) : nullptr);
    udev_device* up = dev ? udev_device_get_parent(dev.get()) : nullptr;
    if (!up)
        return CR_NO_SUCH_DEVNODE;
    *parent = devnode_of(udev_device_get_syspath(up));
    std::lock_guard<std::mutex> lk(g_lock);
    g_parents[node] = *parent;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* type, void* buf,
                                            ULONG* length, ULONG) {
    if (!length)
        return CR_INVALID_POINTER;
    const std::string path = syspath_of(node);
    if (path.empty())
        return CR_NO_SUCH_DEVNODE;
    if (property != CM_DRP_LOCATION_PATHS)
        return CR_NO_SUCH_VALUE;
    std::optional<port_names> port;
    {
        std::unique_lock<std::mutex> lk(g_lock);
        if (auto it = g_ports.find(node); it != g_ports.end()) {
            port = it->second;
        } else {
            lk.unlock();
            UdevPtr<udev> u(udev_new());
            UdevPtr<udev_device> dev(u ? udev_device_new_from_syspath(u.get(), path.c_str())
                                       : nullptr);
            const char* devtype = dev ? udev_device_get_devtype(dev.get()) : nullptr;
            // Only the USB device itself has location paths, as on Windows.
            if (devtype && std::strcmp(devtype, "usb_device") == 0)
                port = port_of(dev.get());
            else if (!dev)
                return CR_NO_SUCH_DEVNODE; // gone: asked again should it come back
            lk.lock();
            g_ports[node] = port;
        }
    }
    if (!port)
        return CR_NO_SUCH_VALUE;
    std::vector<WCHAR> multi;
    for (const std::string& name : *port) {
        for (char c : name)
            multi.push_back(WCHAR(static_cast<unsigned char>(c)));
        multi.push_back(0);
    }
    multi.push_back(0);
    const ULONG need = ULONG(multi.size() * sizeof(WCHAR));
    if (type)
        *type = REG_MULTI_SZ;
    if (!buf || *length < need) {
        *length = need;
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buf, multi.data(), need);
    *length = need;
    return CR_SUCCESS;
}
