// Argument vectors through the command line steps as the run takes them: the program's
// name, parse_options on the words after it, then check_options.
#include "platform/shared.h"
#include "app/utility.h"
#include "tests/fuzz/fuzz_util.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = fuzz::silence_stdout();
    // Words are separated by zero bytes; each lives in its own block, so reading past a
    // word's end is caught.
    std::vector<std::unique_ptr<char[]>> words;
    std::vector<char*> argv;
    const uint8_t* end = data + size;
    for (const uint8_t *p = data, *z = nullptr; z != end && argv.size() < 64; p = z + 1) {
        z = std::find(p, end, 0);
        argv.push_back(words.emplace_back(std::make_unique<char[]>(size_t(z - p) + 1)).get());
        std::memcpy(argv.back(), p, size_t(z - p)); // the block is zero-filled
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    use_usb = 0; // process-wide: each input starts as a fresh process does
    cmd_options opts = {};
    int rc = argc < 2 ? PARSE_HELP : parse_options(argc - 1, argv.data() + 1, &opts);
    if (rc == PARSE_HELP)
        print_usage(argv[0] + base_name_offset(argv[0]));
    if (rc > PARSE_VERSION || rc < -9)
        std::abort();
    if (rc != PARSE_GO_ON || check_options(opts) != 0)
        return 0;
    // What the run goes on with must be what the checks promise.
    const std::string_view target = opts.target ? opts.target : "";
    const bool serial_capable = target == "egret" || target == "heron";
    if (!opts.ddr_file || (!serial_capable && target != "falcon") ||
        (serial_capable && (opts.com_num != nullptr) == (use_usb == 1)) ||
        (opts.com_num &&
         (!is_all_digits(opts.com_num) || std::strlen(opts.com_num) > MAX_COM_DIGITS)))
        std::abort();
    return 0;
}
