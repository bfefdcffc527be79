// Argument vectors through the command line steps as the run takes them: the program's
// name, parse_options on the words after it, then check_options.
#include "platform/shared.h"
#include "app/utility.h"
#include "tests/fuzz/fuzz_util.h"

#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = fuzz::silence_stdout();
    // Words are separated by zero bytes; each lives in its own block, so reading past a
    // word's end is caught.
    std::vector<std::unique_ptr<char[]>> words;
    std::vector<char*> argv;
    const uint8_t *p = data, *end = data + size;
    while (argv.size() < 64) {
        const uint8_t* z = std::find(p, end, 0);
        words.push_back(std::make_unique<char[]>(size_t(z - p) + 1)); // zero-filled
        std::memcpy(words.back().get(), p, size_t(z - p));
        argv.push_back(words.back().get());
        if (z == end)
            break;
        p = z + 1;
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    use_usb = 0; // process-wide: each input starts as a fresh process does
    char exe[256];
    std::snprintf(exe, sizeof exe, "%s", argv[0] + base_name_offset(argv[0]));
    if (argc < 2) {
        print_usage(exe);
        return 0;
    }
    cmd_options opts = {};
    int rc = parse_options(argc - 1, argv.data() + 1, &opts);
    if (rc == PARSE_HELP)
        print_usage(exe);
    if (rc > PARSE_VERSION || rc < -9)
        std::abort();
    if (rc != PARSE_GO_ON || check_options(opts) != 0)
        return 0;
    // What the run goes on with must be what the checks promise.
    if (!opts.target || !opts.ddr_file)
        std::abort();
    bool serial_capable =
        std::strcmp(opts.target, "egret") == 0 || std::strcmp(opts.target, "heron") == 0;
    if (!serial_capable && std::strcmp(opts.target, "falcon") != 0)
        std::abort();
    if (serial_capable && (opts.com_num != nullptr) == (use_usb == 1))
        std::abort();
    if (opts.com_num &&
        (!is_all_digits(opts.com_num) || std::strlen(opts.com_num) > MAX_COM_DIGITS))
        std::abort();
    return 0;
}
