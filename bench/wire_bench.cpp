// larkspur-wire-bench: whole larkspur runs against larkspur-board at emulated line rates,
// measured against what the wire allows and, over HID and USB, against the same transfers
// made by a plain client through the same emulated devices. Prints one Markdown table.
//
//   larkspur-wire-bench [--larkspur EXE] [--board EXE] [--plain-client EXE]
//                       [--parse-bench EXE] [--quick] [--only uart|usb|hid|stream|memory|parse]...
#include "bench/harness.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bench {
namespace {

constexpr uint32_t kImage = 64 * 1024;
constexpr uint32_t kSmallImage = 8 * 1024; // the board's default image
constexpr uint32_t kLargeImage = 106496;   // the largest the board writes
constexpr uint32_t kBaud = 115200;
constexpr double kSerialBytesPerS = kBaud / 10.0; // 8N1: ten bit times a byte
constexpr uint32_t kHidIntervalUs = 1000;
constexpr uint32_t kHidPayload = 64; // the board's reports: 65 bytes with the ID byte
constexpr uint64_t kUsbRate = 4000000;
constexpr uint64_t kFullSpeedRate = 1000000;
constexpr uint32_t kLargestImage = 106496; // the largest image the board takes
constexpr double kStreamSeconds = 30;
constexpr double kIdleSeconds = 10;

struct Config {
    std::string larkspur = LARKSPUR_EXE;
    std::string board = LARKSPUR_BOARD_EXE;
    std::string plain_client = LARKSPUR_PLAIN_CLIENT_EXE;
    std::string parse_bench = LARKSPUR_PARSE_BENCH_EXE;
    std::string source_dir = LARKSPUR_SOURCE_DIR;
    bool quick = false;
    std::set<std::string> only;
    bool wants(const std::string& part) const { return only.empty() || only.count(part); }
};

enum class Transport { Uart, Usb, Hid };

const char* name_of(Transport t) {
    return t == Transport::Uart ? "serial" : t == Transport::Usb ? "USB bulk" : "HID";
}

std::string rate_of(Transport t) {
    char buf[64];
    if (t == Transport::Uart)
        std::snprintf(buf, sizeof buf, "%u baud 8N1", kBaud);
    else if (t == Transport::Usb)
        std::snprintf(buf, sizeof buf, "%.1f MB/s", double(kUsbRate) / 1e6);
    else
        std::snprintf(buf, sizeof buf, "1 report/%u us", kHidIntervalUs);
    return buf;
}

// Time the image bytes alone need on the wire at the emulated rate.
double wire_seconds(Transport t, uint32_t bytes) {
    if (t == Transport::Uart)
        return bytes / kSerialBytesPerS;
    if (t == Transport::Usb)
        return double(bytes) / double(kUsbRate);
    return double((bytes + kHidPayload - 1) / kHidPayload) * kHidIntervalUs * 1e-6;
}

struct RunSpec {
    Transport transport = Transport::Uart;
    uint32_t image_size = kImage;
    bool paced = true;         // emulate the line rate
    double idle_s = 0;         // measure relay CPU while the board is silent
    int keys = 0;              // key latency samples
    uint64_t stream_bytes = 0; // serial stream at the line rate
    uint64_t usb_rate = kUsbRate;
};

struct RunResult {
    std::string failure;    // empty when the run went as planned
    std::string exchanges;  // the boot ROM's, up to the download's end: a plain client's script
    double download_s = -1; // to the host's line
    double received_s = -1; // to the board's receipt of the last image byte
    double cpu_to_relay_s = -1;
    double idle_cpu = -1; // fraction of one core
    std::vector<double> key_latency_s;
    long peak_rss_kib = -1;
    uint64_t stream_got = 0;
    bool stream_sum_ok = false;
    double stream_rate = 0; // bytes per second printed, over the second half
};

// The same transfer by the plain client.
struct PlainResult {
    std::string failure;
    double seconds = -1; // the transfer, or the idle time
    double cpu_s = -1;   // a download: the whole process; idle: the idle time's
    double idle_cpu = -1;
    long peak_rss_kib = -1;
    std::vector<double> key_latency_s; // to the board's log of each key
};

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));

class Bench {
  public:
    explicit Bench(Config c) : cfg(std::move(c)) {}

    // Test images of each size, with the sample scripts beside them.
    std::string image_dir(uint32_t size) {
        std::string dir = work.file("images-" + std::to_string(size));
        if (!std::filesystem::exists(dir)) {
            std::filesystem::create_directory(dir);
            run_capture({cfg.board, "--write-images", dir, "--image-size", std::to_string(size)});
            for (const char* t : {"egret", "kestrel"})
                copy_file(cfg.source_dir + "/examples/" + t + ".inc", dir + "/" + t + ".inc");
        }
        return dir;
    }

    // The board of a run, at the run's emulated rate.
    static std::vector<std::string> board_args(const RunSpec& spec, const std::string& devices) {
        std::vector<std::string> a = {"--devices", devices};
        switch (spec.transport) {
        case Transport::Uart:
            a.insert(a.end(), {"--target", "egret", "--com", "1"});
            if (spec.paced)
                a.insert(a.end(), {"--baud", std::to_string(kBaud)});
            break;
        case Transport::Usb:
            a.insert(a.end(), {"--target", "egret", "--transport", "usb"});
            if (spec.paced)
                a.insert(a.end(), {"--usb-rate", std::to_string(spec.usb_rate)});
            break;
        case Transport::Hid:
            a.insert(a.end(), {"--target", "kestrel"});
            if (spec.paced)
                a.insert(a.end(), {"--hid-interval-us", std::to_string(kHidIntervalUs)});
            break;
        }
        if (spec.stream_bytes)
            a.insert(a.end(), {"--stream", std::to_string(spec.stream_bytes)});
        return a;
    }

    RunResult run(const RunSpec& spec) {
        RunResult r;
        std::string n = std::to_string(++runs);
        std::string devices = work.file("devices-" + n);
        std::vector<std::string> args;
        switch (spec.transport) {
        case Transport::Uart:
            args = {cfg.larkspur, "-t", "egret", "-df", "egret.inc", "-com", "1"};
            break;
        case Transport::Usb:
            args = {cfg.larkspur, "-t", "egret", "-df", "egret.inc", "-usb"};
            break;
        case Transport::Hid:
            args = {cfg.larkspur, "-t", "falcon", "-df", "kestrel.inc"};
            break;
        }

        Board board(cfg.board, board_args(spec, devices), work.file("board-" + n + ".log"),
                    work.path());
        if (!board.wait_ready(10)) {
            r.failure = "the board did not come up";
            return r;
        }
        std::map<std::string, std::string> env = board.emulation();
        env["LARKSPUR_DEVICES"] = devices;
        Child host(args, image_dir(spec.image_size), env);
        auto fail = [&](const std::string& why) {
            r.failure = why;
            auto lines = host.lines();
            if (!lines.empty())
                r.failure += " (last line: \"" + lines.back().text + "\")";
            return r;
        };

        auto loading = host.wait_line("Image loading...", 60);
        auto loaded = host.wait_line("download Image to IRAM OK", 60);
        if (!loading || !loaded)
            return fail("no download");
        r.download_s = loaded->t - loading->t;
        if (auto image = board.wait_log("IMAGE ", 1, 30))
            r.received_s = image->t - loading->t;
        r.exchanges = exchanges_of(board.log());
        auto relay = host.wait_line("Running DDR test...", 90);
        if (!relay)
            return fail("the relay did not start");
        r.cpu_to_relay_s = relay->cpu;

        if (spec.stream_bytes) {
            double budget = double(spec.stream_bytes) / kSerialBytesPerS * 2 + 30;
            auto begin = host.wait_line("STREAM BEGIN", 30);
            auto end = host.wait_line("STREAM END", budget);
            if (!begin || !end)
                return fail("the stream did not end");
            check_stream(host.raw(), spec.stream_bytes, r);
            r.stream_rate = steady_rate(host.lines(), *begin, *end);
        } else if (!host.wait_line("DDR test: PASS", 30)) {
            return fail("no DDR test verdict");
        }

        if (spec.idle_s > 0) {
            sleep_s(1); // the last output drains
            size_t lines_before = host.line_count();
            double t0 = now_s(), c0 = host.cpu_s();
            sleep_s(spec.idle_s);
            double t1 = now_s(), c1 = host.cpu_s();
            if (host.line_count() != lines_before)
                return fail("the board was not silent");
            r.idle_cpu = (c1 - c0) / (t1 - t0);
        }

        // Each key comes at a random moment of the relay's wait for board output, which
        // starts anew when the answer to the key before has been printed.
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> phase(0, relay_wait_s(spec.transport));
        for (int i = 0; i < spec.keys; ++i) {
            sleep_s(0.005 + phase(rng));
            double sent = now_s();
            size_t lines = host.line_count();
            host.send("k");
            auto got = board.wait_log("KEY 0x6b", size_t(i) + 1, 5);
            if (!got)
                return fail("a key did not reach the board");
            r.key_latency_s.push_back(got->t - sent);
            if (!host.wait_line("Key 0x6b", 5, lines))
                return fail("the answer to a key was not shown");
        }

        // VmHWM of the process as it runs: ru_maxrss would also count what the harness had
        // resident when it forked the child.
        r.peak_rss_kib = host.vm_hwm_kib();
        host.send("\x1b");
        ExitInfo ex = host.wait_exit(15);
        if (!ex.exited || ex.code != 0)
            return fail("ESC did not end the run with 0");
        return r;
    }

    // What larkspur sent and the board answered up to the end of the download, from the
    // board's log, as the plain client's script: the frames, the words back, the image.
    static std::string exchanges_of(const std::vector<LogLine>& log) {
        std::string script;
        bool image = false;
        for (const LogLine& l : log) {
            if (l.text.rfind("FRAME ", 0) == 0) {
                if (image)
                    break; // the start: the download is over
                if (l.text.rfind("FRAME 0404", 0) == 0)
                    script += "T\n";
                script += "F " + l.text.substr(6) + "\n";
            } else if (l.text.rfind("ACK ", 0) == 0) {
                script += "W\n";
            } else if (l.text.rfind("IMAGE ", 0) == 0) {
                script += "I\n";
                image = true;
            }
        }
        return image ? script : "";
    }

    // The plain client's transfers against a board of the run's kind: the boot ROM exchanges
    // of a larkspur run up to the end of its download, the relay's idle reads, or keys.
    PlainResult plain(const RunSpec& spec, const std::string& exchanges, double idle_s = 0,
                      int keys = 0) {
        PlainResult p;
        std::string n = std::to_string(++runs);
        std::string devices = work.file("devices-" + n);
        Board board(cfg.board, board_args(spec, devices), work.file("board-" + n + ".log"),
                    work.path());
        if (!board.wait_ready(10)) {
            p.failure = "the board did not come up";
            return p;
        }
        const bool hid = spec.transport == Transport::Hid;
        const std::string dir = image_dir(spec.image_size);
        std::vector<std::string> argv = {cfg.plain_client};
        const char* pid = hid ? "0101" : "0110";
        if (keys > 0) {
            argv.insert(argv.end(),
                        {hid ? "hid-keys" : "usb-keys", "2f5a", pid, std::to_string(keys),
                         fmt("%.3f", relay_wait_s(spec.transport) * 1e3)});
        } else if (idle_s > 0) {
            argv.insert(argv.end(),
                        {hid ? "hid-idle" : "usb-idle", "2f5a", pid, fmt("%.3f", idle_s)});
        } else {
            if (exchanges.empty()) {
                p.failure = "no exchanges of larkspur's run to make";
                return p;
            }
            std::string script = work.file("exchanges-" + n);
            std::ofstream(script) << exchanges;
            argv.insert(argv.end(),
                        {hid ? "hid-replay" : "usb-replay", "2f5a", hid ? "0101" : "0110", script,
                         dir + (hid ? "/larkspur-kestrel.bin" : "/larkspur-egret.bin")});
        }
        testsupport::RunOptions opt;
        opt.env = board.emulation();
        opt.timeout = std::chrono::milliseconds(int((idle_s + 60) * 1000));
        testsupport::RunResult r = testsupport::run(argv, opt);
        if (r.exit_code != 0) {
            p.failure = "the plain client failed: " + r.err;
            return p;
        }
        if (keys > 0) {
            // Each key's moment against the board's log of it, in order.
            const char* logged = hid ? "REJECT image data" : "REJECT frame code bytes differ";
            std::istringstream out(r.out);
            std::string word;
            double sent = 0;
            for (size_t i = 0; out >> word >> sent && word == "sent"; ++i) {
                auto got = board.wait_log(logged, i + 1, 5);
                if (!got) {
                    p.failure = "a key of the plain client was not logged";
                    return p;
                }
                p.key_latency_s.push_back(got->t - sent);
            }
            return p;
        }
        if (std::sscanf(r.out.c_str(), "seconds %lf cpu %lf rss %ld", &p.seconds, &p.cpu_s,
                        &p.peak_rss_kib) != 3) {
            p.failure = "the plain client said: " + r.out;
            return p;
        }
        if (idle_s > 0)
            p.idle_cpu = p.cpu_s / p.seconds;
        return p;
    }

    // The plain client's download, n times against a fresh board each: the median time and
    // the median CPU, so that one slow start on a busy machine does not set the floor.
    PlainResult plain_median(const RunSpec& spec, const std::string& exchanges, int n) {
        std::vector<double> secs, cpus;
        PlainResult m;
        long rss = 0;
        for (int i = 0; i < n; ++i) {
            PlainResult p = plain(spec, exchanges);
            if (!p.failure.empty())
                return p;
            secs.push_back(p.seconds);
            cpus.push_back(p.cpu_s);
            rss = std::max(rss, p.peak_rss_kib);
        }
        m.peak_rss_kib = rss;
        std::sort(secs.begin(), secs.end());
        std::sort(cpus.begin(), cpus.end());
        m.seconds = secs[secs.size() / 2];
        m.cpu_s = cpus[cpus.size() / 2];
        return m;
    }

    // How long one pass of the relay waits for board output when there is none.
    static double relay_wait_s(Transport t) { return t == Transport::Uart ? 0.005 : 0.010; }

    // Bytes per second over the second half of the stream, and at least 2 s after its
    // first line. The stream starts while the host still settles after the start, and the
    // pseudo-terminal holds the board back meanwhile, so the first part arrives in one
    // burst once the relay reads. 0 when the stream is too short to tell.
    static double steady_rate(const std::vector<Line>& lines, const Line& begin, const Line& end) {
        size_t i = 0;
        while (i < lines.size() && lines[i].t <= begin.t)
            ++i;
        size_t stop = i;
        uint64_t total = 0;
        for (; stop < lines.size() && lines[stop].t <= end.t; ++stop)
            total += lines[stop].text.size() + 2;
        uint64_t offset = 0;
        for (size_t k = i; k < stop; ++k) {
            offset += lines[k].text.size() + 2;
            if (offset >= total / 2 && lines[k].t >= begin.t + 2 && lines[k].t < end.t)
                return double(total - offset) / (end.t - lines[k].t);
        }
        return 0;
    }

    // The pattern as printed between the STREAM BEGIN and STREAM END lines, against the
    // count and checksum that the board's end line states.
    static void check_stream(const std::string& out, uint64_t expected, RunResult& r) {
        size_t begin = out.find("STREAM BEGIN");
        size_t end = out.find("STREAM END");
        size_t body = out.find('\n', begin);
        if (begin == std::string::npos || end == std::string::npos || body == std::string::npos ||
            body > end)
            return;
        std::string text = out.substr(body + 1, end - body - 1);
        unsigned long long count = 0;
        unsigned long sum = 0;
        if (std::sscanf(out.c_str() + end, "STREAM END %llu %lx", &count, &sum) != 2)
            return;
        uint32_t got = 0;
        for (unsigned char c : text)
            got = got * 31 + c;
        r.stream_got = text.size();
        r.stream_sum_ok = count == expected && text.size() == expected && got == sum;
    }

    Config cfg;
    TempDir work;
    int runs = 0;
};

// ---- the table ------------------------------------------------------------------------

struct Row {
    std::string figure, transport, measured, reference, target, met;
};

std::string fmt(const char* f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// Of several runs of one kind: the run whose download took the median time, with the median
// CPU up to the relay.
RunResult median_run(std::vector<RunResult> v) {
    auto took = [](const RunResult& r) { return std::max(r.download_s, r.received_s); };
    std::sort(v.begin(), v.end(),
              [&](const RunResult& a, const RunResult& b) { return took(a) < took(b); });
    std::vector<double> cpu;
    for (const RunResult& r : v)
        cpu.push_back(r.cpu_to_relay_s);
    std::sort(cpu.begin(), cpu.end());
    RunResult m = v[v.size() / 2];
    m.cpu_to_relay_s = cpu[cpu.size() / 2];
    return m;
}

std::string verdict(bool ok) {
    return ok ? "yes" : "**no**";
}

// Nearest-rank percentile.
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(v.size())));
    return v[rank > 0 ? rank - 1 : 0];
}

std::string machine() {
    std::string model = "unknown CPU";
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string l; std::getline(cpu, l);) {
        if (l.rfind("model name", 0) == 0) {
            model = l.substr(l.find(':') + 2);
            break;
        }
    }
    utsname u{};
    uname(&u);
    return fmt("%u cores (nproc), %s, Linux %s", std::thread::hardware_concurrency(), model.c_str(),
               u.release);
}

// Google Benchmark's JSON: each benchmark's name with its bytes and items per second.
struct ParseFigure {
    std::string name;
    std::string label;
    double bytes_per_s = 0, items_per_s = 0, real_us = 0;
};

std::vector<ParseFigure> parse_figures(const std::string& json) {
    std::vector<ParseFigure> out;
    auto number_after = [&](const std::string& key, size_t from, size_t to) {
        size_t k = json.find("\"" + key + "\":", from);
        return k < to ? std::strtod(json.c_str() + k + key.size() + 3, nullptr) : 0.0;
    };
    for (size_t p = json.find("\"name\": \""); p != std::string::npos;
         p = json.find("\"name\": \"", p + 1)) {
        size_t start = p + 9, stop = json.find('"', start);
        size_t next = json.find("\"name\": \"", stop);
        ParseFigure f;
        f.name = json.substr(start, stop - start);
        f.bytes_per_s = number_after("bytes_per_second", stop, next);
        f.items_per_s = number_after("items_per_second", stop, next);
        f.real_us = number_after("real_time", stop, next);
        if (size_t u = json.find("\"time_unit\": \"", stop); u < next)
            f.real_us *= json.compare(u + 14, 2, "ms") == 0   ? 1e3
                         : json.compare(u + 14, 2, "ns") == 0 ? 1e-3
                                                              : 1;
        if (size_t l = json.find("\"label\": \"", stop); l < next)
            f.label = json.substr(l + 10, json.find('"', l + 10) - l - 10);
        out.push_back(f);
    }
    return out;
}

int main_bench(int argc, char** argv) {
    Config cfg;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--larkspur")
            cfg.larkspur = value();
        else if (a == "--board")
            cfg.board = value();
        else if (a == "--plain-client")
            cfg.plain_client = value();
        else if (a == "--parse-bench")
            cfg.parse_bench = value();
        else if (a == "--quick")
            cfg.quick = true;
        else if (a == "--only")
            cfg.only.insert(value());
        else
            throw std::runtime_error("unknown option " + a);
    }
    const double idle_s = cfg.quick ? 2 : kIdleSeconds;
    const double stream_s = cfg.quick ? 3 : kStreamSeconds;
    const int keys = cfg.quick ? 3 : 20;
    const int plain_runs = cfg.quick ? 1 : 5;
    const int larkspur_runs = cfg.quick ? 1 : 3;

    Bench b(cfg);
    std::vector<Row> rows;
    std::vector<std::string> failures;
    auto progress = [](const std::string& what) {
        std::fprintf(stderr, "bench: %s\n", what.c_str());
    };
    auto checked = [&](const std::string& what, RunResult r) {
        if (!r.failure.empty())
            failures.push_back(what + ": " + r.failure);
        return r;
    };
    auto checked_plain = [&](const std::string& what, PlainResult r) {
        if (!r.failure.empty())
            failures.push_back(what + " (plain client): " + r.failure);
        return r;
    };
    // Over HID and USB the same transfers by the plain client, in the same run: what the
    // emulated devices cost, which larkspur pays as well.
    auto emulated = [](Transport t) { return t != Transport::Uart; };

    const Transport all[] = {Transport::Uart, Transport::Hid, Transport::Usb};
    const char* part[] = {"uart", "hid", "usb"};
    struct PerTransport {
        RunResult full, small;
        PlainResult plain_full, plain_small, plain_idle, plain_keys;
    };
    std::map<Transport, PerTransport> results;
    for (size_t i = 0; i < 3; ++i) {
        Transport t = all[i];
        if (!cfg.wants(part[i]))
            continue;
        RunSpec spec;
        spec.transport = t;
        spec.idle_s = idle_s;
        spec.keys = keys;
        progress(std::string(name_of(t)) + ": 64 KiB image, idle relay, keys");
        PerTransport& pr = results[t];
        pr.full = checked(std::string(name_of(t)) + " 64 KiB", b.run(spec));
        // The download and the CPU up to the relay are the median of several runs.
        RunSpec plain_run;
        plain_run.transport = t;
        std::vector<RunResult> fulls = {pr.full};
        for (int k = 1; k < larkspur_runs; ++k)
            fulls.push_back(checked(std::string(name_of(t)) + " 64 KiB", b.run(plain_run)));
        RunResult m = median_run(fulls);
        pr.full.download_s = m.download_s;
        pr.full.received_s = m.received_s;
        pr.full.cpu_to_relay_s = m.cpu_to_relay_s;
        RunSpec small;
        small.transport = t;
        small.image_size = kSmallImage;
        progress(std::string(name_of(t)) + ": 8 KiB image");
        std::vector<RunResult> smalls;
        for (int k = 0; k < larkspur_runs; ++k)
            smalls.push_back(checked(std::string(name_of(t)) + " 8 KiB", b.run(small)));
        pr.small = median_run(smalls);
        if (!emulated(t))
            continue;
        progress(std::string(name_of(t)) + ": the plain client's downloads and idle reads");
        pr.plain_full = checked_plain(std::string(name_of(t)) + " 64 KiB",
                                      b.plain_median(spec, pr.full.exchanges, plain_runs));
        pr.plain_small = checked_plain(std::string(name_of(t)) + " 8 KiB",
                                       b.plain_median(small, pr.small.exchanges, plain_runs));
        pr.plain_idle = checked_plain(std::string(name_of(t)) + " idle", b.plain(spec, "", idle_s));
        pr.plain_keys =
            checked_plain(std::string(name_of(t)) + " keys", b.plain(spec, "", 0, keys));
    }

    // Download efficiency. The download ends when both have happened: the host printed its
    // line and the board holds the last image byte. On a pseudo-terminal the host's
    // write returns while the kernel still buffers the tail of the image.
    const std::string download_figure =
        "Download of a 64 KiB image, \"Image loading...\" to \"download Image to IRAM OK\"";
    for (auto& [t, pr] : results) {
        const RunResult& r = pr.full;
        double wire = wire_seconds(t, kImage);
        double took = std::max(r.download_s, r.received_s);
        double eff = took > 0 ? wire / took : 0;
        bool ms = t == Transport::Usb;
        double k = ms ? 1e3 : 1;
        const char* unit = ms ? "ms" : "s";
        std::string measured =
            fmt("%.3f %s, median of %d runs (host line %.3f, last byte at the board %.3f)",
                took * k, unit, larkspur_runs, r.download_s * k, r.received_s * k);
        if (!emulated(t)) {
            rows.push_back({download_figure, fmt("%s, %s", name_of(t), rate_of(t).c_str()),
                            fmt("**%.1f%%** of the wire limit: ", eff * 100) + measured,
                            fmt("wire time of the image bytes: %.3f %s", wire * k, unit), ">= 97%",
                            verdict(eff >= 0.97)});
            continue;
        }
        double floor = pr.plain_full.seconds;
        double share = took > 0 && floor > 0 ? floor / took : 0;
        rows.push_back(
            {download_figure, fmt("%s, %s", name_of(t), rate_of(t).c_str()),
             fmt("**%.1f%%** of the plain client's rate: ", share * 100) + measured,
             fmt("plain client (median of %d): %.3f %s; wire time of the image bytes: %.3f %s "
                 "(larkspur at %.1f%% of it)",
                 plain_runs, floor * k, unit, wire * k, unit, eff * 100),
             ">= 95% of the plain client's", verdict(share >= 0.95)});
    }
    // The largest image the board takes, over USB bulk at the usual rate and at a full-speed
    // link's: its one bulk write must outlast the wire time.
    if (cfg.wants("usb")) {
        for (uint64_t rate : {kUsbRate, kFullSpeedRate}) {
            RunSpec spec;
            spec.transport = Transport::Usb;
            spec.image_size = kLargestImage;
            spec.usb_rate = rate;
            const std::string at = fmt("%.1f MB/s", double(rate) / 1e6);
            progress("USB bulk: largest image at " + at);
            std::vector<RunResult> runs;
            for (int k = 0; k < larkspur_runs; ++k)
                runs.push_back(checked("USB bulk largest image at " + at, b.run(spec)));
            RunResult r = median_run(runs);
            PlainResult p = checked_plain("USB bulk largest image at " + at,
                                          b.plain_median(spec, r.exchanges, plain_runs));
            double wire = double(kLargestImage) / double(rate);
            double took = std::max(r.download_s, r.received_s);
            double eff = took > 0 ? wire / took : 0;
            double share = took > 0 && p.seconds > 0 ? p.seconds / took : 0;
            rows.push_back(
                {fmt("Download of the largest image (%u bytes), \"Image loading...\" "
                     "to \"download Image to IRAM OK\"",
                     kLargestImage),
                 "USB bulk, " + at,
                 fmt("**%.1f%%** of the plain client's rate: %.3f ms, median of %d runs "
                     "(host line %.3f, last byte at the board %.3f)",
                     share * 100, took * 1e3, larkspur_runs, r.download_s * 1e3,
                     r.received_s * 1e3),
                 fmt("plain client (median of %d): %.3f ms; wire time of the image bytes: %.3f ms "
                     "(larkspur at %.1f%% of it)",
                     plain_runs, p.seconds * 1e3, wire * 1e3, eff * 100),
                 ">= 95% of the plain client's",
                 verdict(r.failure.empty() && p.failure.empty() && share >= 0.95)});
        }
    }
    // Host CPU up to the relay.
    for (auto& [t, pr] : results) {
        double big = pr.full.cpu_to_relay_s, small = pr.small.cpu_to_relay_s;
        // What the image costs, from the two sizes; below the noise it counts as nothing.
        double per_kib = std::max(0.0, (big - small) / double((kImage - kSmallImage) / 1024));
        double fixed = small - per_kib * (kSmallImage / 1024.0);
        const std::string figure =
            "Host CPU (user + system) of a run up to \"Running DDR test...\"";
        const std::string measured = fmt("64 KiB: %.1f ms; 8 KiB: %.1f ms (medians of %d runs)",
                                         big * 1e3, small * 1e3, larkspur_runs);
        if (!emulated(t)) {
            rows.push_back({figure, fmt("%s, %s", name_of(t), rate_of(t).c_str()),
                            fmt("beyond the image: **%.1f ms**; ", fixed * 1e3) + measured,
                            fmt("%.3f ms per KiB of image", per_kib * 1e3),
                            "< 20 ms beyond the image", verdict(fixed < 0.020)});
            continue;
        }
        // The plain client's process from its start to its last word, split the same way.
        double pbig = pr.plain_full.cpu_s, psmall = pr.plain_small.cpu_s;
        double p_per_kib = std::max(0.0, (pbig - psmall) / double((kImage - kSmallImage) / 1024));
        double p_fixed = psmall - p_per_kib * (kSmallImage / 1024.0);
        rows.push_back(
            {figure, fmt("%s, %s", name_of(t), rate_of(t).c_str()),
             fmt("beyond the image: **%.1f ms** over the plain client's; ",
                 (fixed - p_fixed) * 1e3) +
                 measured,
             fmt("larkspur %.1f ms beyond the image, %.3f ms per KiB; plain client %.1f ms "
                 "(64 KiB: %.1f ms, 8 KiB: %.1f ms), %.3f ms per KiB",
                 fixed * 1e3, per_kib * 1e3, p_fixed * 1e3, pbig * 1e3, psmall * 1e3,
                 p_per_kib * 1e3),
             "< 20 ms beyond the image, over the plain client's",
             verdict(pbig > 0 && psmall > 0 && fixed - p_fixed < 0.020)});
    }
    // Relay idle CPU.
    for (auto& [t, pr] : results) {
        double c = pr.full.idle_cpu;
        const std::string figure =
            fmt("Console relay CPU while the board is silent (%.0f s)", idle_s);
        if (!emulated(t)) {
            rows.push_back({figure, name_of(t), fmt("**%.3f%%** of one core", c * 100),
                            "a look at the queue every 5 ms", "< 1%", verdict(c >= 0 && c < 0.01)});
            continue;
        }
        double p = pr.plain_idle.idle_cpu;
        rows.push_back({figure, name_of(t),
                        fmt("**%.3f%%** of one core over the plain client's (larkspur %.3f%%)",
                            (c - p) * 100, c * 100),
                        fmt("plain client, %s: %.3f%%",
                            t == Transport::Usb ? "4-byte reads of 10 ms, back to back"
                                                : "a read waited on in 10 ms slices",
                            p * 100),
                        "< 1% over the plain client's", verdict(c >= 0 && p >= 0 && c - p < 0.01)});
    }
    // Key latency.
    for (auto& [t, pr] : results) {
        const auto& v = pr.full.key_latency_s;
        if (v.empty())
            continue;
        double worst = *std::max_element(v.begin(), v.end());
        double p95 = percentile(v, 95);
        const std::string measured = fmt("p50 %.1f ms, **p95 %.1f ms**, max %.1f ms (%zu keys)",
                                         percentile(v, 50) * 1e3, p95 * 1e3, worst * 1e3, v.size());
        if (!emulated(t)) {
            rows.push_back({"Key latency, standard input to the board", name_of(t), measured,
                            "the 5 ms serial poll pause", "p95 <= 25 ms", verdict(p95 <= 0.025)});
            continue;
        }
        // The plain client writes each key at once; its latency is the emulation's.
        std::string plain_measured = measured;
        for (size_t at; (at = plain_measured.find("**")) != std::string::npos;)
            plain_measured.erase(at, 2);
        const auto& f = pr.plain_keys.key_latency_s;
        double fp95 = f.empty() ? -1 : percentile(f, 95);
        rows.push_back(
            {"Key latency, standard input to the board", name_of(t),
             fmt("p95 **%.1f ms** over the plain client's; larkspur ", (p95 - fp95) * 1e3) +
                 plain_measured,
             fmt("plain client, a key written at once: p50 %.2f ms, p95 %.2f ms; "
                 "larkspur waits in %s",
                 f.empty() ? -1 : percentile(f, 50) * 1e3, fp95 * 1e3,
                 t == Transport::Usb ? "10 ms read slices" : "10 ms wait slices"),
             "p95 <= 25 ms over the plain client's", verdict(!f.empty() && p95 - fp95 <= 0.025)});
    }
    // Serial stream at the full line rate.
    if (cfg.wants("stream")) {
        RunSpec spec;
        spec.transport = Transport::Uart;
        spec.image_size = kSmallImage;
        spec.stream_bytes = uint64_t(stream_s * kSerialBytesPerS);
        progress(fmt("serial: stream of %llu bytes at the line rate",
                     static_cast<unsigned long long>(spec.stream_bytes)));
        RunResult r = checked("serial stream", b.run(spec));
        uint64_t lost = spec.stream_bytes > r.stream_got ? spec.stream_bytes - r.stream_got : 0;
        rows.push_back(
            {fmt("Bytes lost while the board streams at the line rate (%.0f s)", stream_s),
             fmt("serial, %s", rate_of(Transport::Uart).c_str()),
             fmt("**%llu** of %llu; checksum %s", static_cast<unsigned long long>(lost),
                 static_cast<unsigned long long>(spec.stream_bytes),
                 r.stream_sum_ok ? "matches" : "**differs**"),
             r.stream_rate > 0 ? fmt("second half printed at %.1f%% of the line rate",
                                     r.stream_rate / kSerialBytesPerS * 100)
                               : std::string("too short to tell the rate"),
             "0", verdict(r.failure.empty() && lost == 0 && r.stream_sum_ok)});
    }
    // Peak memory against the image size.
    if (cfg.wants("memory")) {
        for (uint32_t size : {kSmallImage, kImage, kLargeImage}) {
            RunSpec spec;
            spec.transport = Transport::Usb;
            spec.paced = false;
            spec.image_size = size;
            progress(fmt("memory: %u-byte image", size));
            RunResult r = checked(fmt("memory %u", size), b.run(spec));
            double over = double(r.peak_rss_kib) / 1024 - size / 1048576.0;
            rows.push_back({"Peak resident memory of a whole run (VmHWM)",
                            fmt("USB bulk, %u-byte image", size),
                            fmt("**%.2f MiB**", r.peak_rss_kib / 1024.0),
                            fmt("%.2f MiB beyond the image", over), "< 4 MiB beyond the image",
                            verdict(r.peak_rss_kib > 0 && over < 4)});
        }
        for (auto& [t, pr] : results) {
            double over = double(pr.full.peak_rss_kib) / 1024 - kImage / 1048576.0;
            std::string reference = fmt("%.2f MiB beyond the image", over);
            if (emulated(t))
                reference +=
                    fmt("; plain client's replay: %.2f MiB", pr.plain_full.peak_rss_kib / 1024.0);
            rows.push_back(
                {"Peak resident memory of a whole run (VmHWM)", fmt("%s, 64 KiB image", name_of(t)),
                 fmt("**%.2f MiB**", pr.full.peak_rss_kib / 1024.0), reference,
                 "< 4 MiB beyond the image", verdict(pr.full.peak_rss_kib > 0 && over < 4)});
        }
    }
    // DDR init script parsing.
    if (cfg.wants("parse") && cfg.parse_bench.empty()) {
        failures.push_back("parse benchmark: not built (Google Benchmark, libbenchmark-dev, "
                           "was not found)");
    } else if (cfg.wants("parse")) {
        progress("DDR init script parsing (Google Benchmark)");
        std::string json;
        try {
            json =
                run_capture({cfg.parse_bench, "--benchmark_format=json",
                             cfg.quick ? "--benchmark_min_time=0.05" : "--benchmark_min_time=1"});
        } catch (const std::exception& e) {
            failures.push_back(std::string("parse benchmark: ") + e.what());
        }
        for (const ParseFigure& f : parse_figures(json)) {
            rows.push_back(
                {"DDR init script parsing (parse_ddr_init_script, from a file)", f.label,
                 fmt("**%.1f MB/s**, %.2f M lines/s", f.bytes_per_s / 1e6, f.items_per_s / 1e6),
                 fmt("%.1f us per parse", f.real_us), "-", "-"});
        }
    }

    std::printf("Machine: %s\n\n", machine().c_str());
    std::printf("| Figure | Transport / case | Measured | Reference | Target | Met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Row& r : rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.transport.c_str(),
                    r.measured.c_str(), r.reference.c_str(), r.target.c_str(), r.met.c_str());
    for (const std::string& f : failures)
        std::printf("\nFAILED: %s\n", f.c_str());
    return failures.empty() ? 0 : 1;
}

} // namespace
} // namespace bench

int main(int argc, char** argv) {
    try {
        return bench::main_bench(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "larkspur-wire-bench: %s\n", e.what());
        return 2;
    }
}
