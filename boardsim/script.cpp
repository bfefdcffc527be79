#include "boardsim/script.h"

#include <string>

namespace board {
namespace {

bool parse_hex(std::string_view w, uint32_t& out) {
    if (w.size() < 3 || w.size() > 10 || w[0] != '0' || (w[1] != 'x' && w[1] != 'X'))
        return false;
    uint32_t v = 0;
    for (char c : w.substr(2)) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0)
            return false;
        v = v * 16 + uint32_t(d);
    }
    out = v;
    return true;
}

} // namespace

std::vector<ScriptWrite> parse_script(std::string_view text) {
    std::vector<ScriptWrite> out;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (size_t c = line.find("//"); c != std::string_view::npos)
            line = line.substr(0, c);
        std::vector<std::string_view> words;
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
                ++i;
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                ++i;
            if (i > start)
                words.push_back(line.substr(start, i - start));
        }
        ScriptWrite w{};
        if (words.size() >= 5 && words[0] == "setmem" && parse_hex(words[2], w.addr) &&
            parse_hex(words[4], w.value))
            out.push_back(w);
    }
    return out;
}

std::map<uint32_t, uint32_t> final_values(const std::vector<ScriptWrite>& writes, uint32_t first,
                                          uint32_t last) {
    std::map<uint32_t, uint32_t> m;
    for (const ScriptWrite& w : writes)
        if (w.addr >= first && w.addr <= last)
            m[w.addr] = w.value;
    return m;
}

} // namespace board
