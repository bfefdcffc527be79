#include "platform/board_port.h"

#include "platform/screen.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#ifndef _WIN32
#include <mutex>
#endif
#include <optional>

namespace {

struct board_binding {
    bool read = false;      // LARKSPUR_BOARD looked at
    std::string raw;        // its value
    std::string chosen;     // normalised; empty: none chosen (or malformed)
    bool malformed = false; // set, but no port
    std::optional<port_names> taken;
    bool said_why = false;         // a line has said why no board may be taken
    bool unplaced_refused = false; // a candidate was passed over: its port could not be told
};

board_binding binding;
#ifdef _WIN32
// Only the run's thread asks: the USB driver there tells no port.
struct binding_guard {};
#else
// The stand-in USB driver's event thread binds the board as the run's thread looks for it.
std::mutex binding_lock;
struct binding_guard {
    std::lock_guard<std::mutex> held{binding_lock};
};
#endif

bool digits(const std::string& s, size_t from, size_t to) {
    return from < to && std::all_of(s.begin() + from, s.begin() + to,
                                    [](unsigned char c) { return std::isdigit(c); });
}

// "3" or "3.2.1": port numbers joined by dots.
bool port_path(const std::string& s, size_t from, size_t to) {
    for (size_t at = from;;) {
        size_t dot = s.find('.', at);
        if (dot == std::string::npos || dot >= to)
            return digits(s, at, to);
        if (!digits(s, at, dot))
            return false;
        at = dot + 1;
    }
}

void say(const char* what, const std::string& detail) {
    status_wipe();
    std::fprintf(stderr, "larkspur: %s%s\n", what, detail.c_str());
}

const board_binding& read_choice() {
    if (binding.read)
        return binding;
    binding.read = true;
    const char* v = std::getenv("LARKSPUR_BOARD");
    if (!v || !*v)
        return binding;
    binding.raw = v;
    binding.chosen = port_choice_normalised(v);
    if (binding.chosen.empty()) {
        binding.malformed = true;
        say("LARKSPUR_BOARD=", binding.raw +
                                   " names no USB port (as sysfs names it, such as 1-3.2, or "
                                   "as udev's ID_PATH or Windows' location path gives it); "
                                   "no device is opened");
    }
    return binding;
}

std::string shown(const port_names& port) {
    return port.empty() ? std::string("an unknown one") : port.front();
}

} // namespace

std::string port_choice_normalised(const std::string& v) {
    // sysfs: bus-port[.port...]
    if (size_t dash = v.find('-');
        dash != std::string::npos && digits(v, 0, dash) && port_path(v, dash + 1, v.size()))
        return v;
    // udev's ID_PATH: ...-usb-N:port[.port...][:config.interface]
    if (size_t usb = v.rfind("usb-"); usb != std::string::npos) {
        size_t colon = v.find(':', usb);
        if (colon == std::string::npos || !digits(v, usb + 4, colon))
            return {};
        size_t end = v.find(':', colon + 1);
        if (end == std::string::npos)
            end = v.size();
        else if (!port_path(v, end + 1, v.size()) ||
                 std::count(v.begin() + end + 1, v.end(), '.') != 1)
            return {};
        return port_path(v, colon + 1, end) ? v.substr(0, end) : std::string();
    }
    // Windows' location path: ...#USB(n)
    if (v.size() > 6 && v.compare(v.size() - 1, 1, ")") == 0) {
        size_t open = v.rfind("USB(");
        if (open != std::string::npos && digits(v, open + 4, v.size() - 1))
            return v;
    }
    return {};
}

bool port_at_or_below(const std::string& name, const std::string& chosen) {
    if (chosen.empty() || name.compare(0, chosen.size(), chosen) != 0)
        return false;
    if (name.size() == chosen.size())
        return true;
    const char next = name[chosen.size()];
    return next == '.' || next == ':' || next == '#';
}

bool port_before(const port_names& a, const port_names& b) {
    if (a.empty() || b.empty())
        return !a.empty() && b.empty();
    // The numbers of each name in turn; what is not a digit only separates them.
    auto numbers = [](const std::string& s) {
        std::vector<unsigned long> out;
        for (size_t i = 0; i < s.size();) {
            if (!std::isdigit(static_cast<unsigned char>(s[i]))) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end])))
                ++end;
            out.push_back(
                std::strtoul(s.substr(i, std::min<size_t>(end - i, 9)).c_str(), nullptr, 10));
            i = end;
        }
        return out;
    };
    return numbers(a.front()) < numbers(b.front());
}

bool board_choice_valid() {
    [[maybe_unused]] binding_guard guard;
    return !read_choice().malformed;
}

bool board_port_unbound() {
    [[maybe_unused]] binding_guard guard;
    const board_binding& b = read_choice();
    return b.chosen.empty() && !b.taken;
}

bool board_choice_without_ports(const char* route) {
    [[maybe_unused]] binding_guard guard;
    const board_binding& b = read_choice();
    if (b.raw.empty())
        return true;
    if (!b.said_why) {
        binding.said_why = true;
        say("LARKSPUR_BOARD cannot choose a board here: ",
            std::string(route) + " tells no USB port; unset it to take the one board there");
    }
    return false;
}

bool board_port_allowed(const port_names& port) {
    [[maybe_unused]] binding_guard guard;
    const board_binding& b = read_choice();
    if (b.malformed)
        return false;
    if (b.taken) {
        // A board whose port could not be told binds nothing: as with one board, any device.
        return b.taken->empty() || std::any_of(port.begin(), port.end(), [&](const auto& n) {
                   return std::find(b.taken->begin(), b.taken->end(), n) != b.taken->end();
               });
    }
    if (b.chosen.empty())
        return true;
    if (port.empty())
        binding.unplaced_refused = true;
    return std::any_of(port.begin(), port.end(),
                       [&](const std::string& n) { return port_at_or_below(n, b.chosen); });
}

void board_port_taken(const port_names& port, const std::vector<port_names>& others) {
    [[maybe_unused]] binding_guard guard;
    const board_binding& b = read_choice();
    if (b.taken)
        return;
    binding.taken = port;
    if (!b.chosen.empty() || others.empty())
        return;
    if (port.empty()) {
        say("more than one board found, ",
            std::to_string(others.size() + 1) +
                " in all; this system tells no board's port, so the first found is used and "
                "LARKSPUR_BOARD cannot choose another");
        return;
    }
    std::string list = shown(port);
    for (const port_names& o : others)
        list += ", " + shown(o);
    say("more than one board found, on ports ",
        list + "; using the one on " + shown(port) +
            " (set LARKSPUR_BOARD to a port to choose another)");
}

void board_port_missing() {
    [[maybe_unused]] binding_guard guard;
    const board_binding& b = read_choice();
    if (b.chosen.empty() || b.taken || b.said_why)
        return;
    binding.said_why = true;
    say("no board found on port ",
        b.raw + " (LARKSPUR_BOARD)" +
            (b.unplaced_refused ? "; this system tells no board's port, so none can be chosen"
                                : ""));
}
