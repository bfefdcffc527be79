// DDR init script parsing throughput on generated scripts: the largest a run takes (512
// register writes for the falcon variants) and a large one, from a file as a run reads it.
#include "app/utility.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Register writes interleaved with what real scripts also hold: comments, blank lines,
// lines without meaning, CR LF line ends.
std::string make_script(size_t entries) {
    std::string s = "// generated DDR init script\r\n";
    char line[128];
    for (size_t i = 0; i < entries; ++i) {
        if (i % 8 == 0)
            s += "\r\n// controller block " + std::to_string(i / 8) + "\r\n";
        if (i % 32 == 0)
            s += "wait = on\r\n";
        std::snprintf(line, sizeof line, "setmem /32 0x%08zx = 0x%08zx  // register %zu\r\n",
                      0x63fd9000 + 4 * (i % 4096), i * 2654435761u % 0xFFFFFFFFu, i);
        s += line;
    }
    return s;
}

void parse_script(benchmark::State& state) {
    const size_t entries = static_cast<size_t>(state.range(0));
    const std::string script = make_script(entries);
    FILE* f = std::tmpfile();
    if (!f || std::fwrite(script.data(), 1, script.size(), f) != script.size())
        throw std::runtime_error("cannot write the script");
    size_t lines = 0;
    for (char c : script)
        lines += c == '\n';
    std::vector<dcd_node> nodes(entries);
    for (auto _ : state) {
        std::rewind(f);
        uint32_t len = static_cast<uint32_t>(entries);
        if (parse_ddr_init_script(f, nodes.data(), &len) != 0 || len != entries) {
            state.SkipWithError("the script did not parse");
            break;
        }
        benchmark::DoNotOptimize(nodes.data());
    }
    std::fclose(f);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
    state.SetLabel(std::to_string(entries) + " setmem lines, " +
                   std::to_string(script.size() / 1024) + " KiB");
}

BENCHMARK(parse_script)->Arg(512)->Arg(100000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
