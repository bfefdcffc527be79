// The board's own reading of a DDR init script: the setmem lines, in order.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace board {

struct ScriptWrite {
    uint32_t addr, value;
};

// "setmem <any> <address> <any> <value>" lines, "//" comments; other lines are skipped,
// and so is a setmem line whose numbers do not read as 0x-prefixed hexadecimal.
std::vector<ScriptWrite> parse_script(std::string_view text);

// What the writes leave in the registers of [first, last]: the last write wins.
std::map<uint32_t, uint32_t> final_values(const std::vector<ScriptWrite>& writes, uint32_t first,
                                          uint32_t last);

} // namespace board
