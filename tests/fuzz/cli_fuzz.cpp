// Argument vectors through the command line steps as the run takes them: the program's
// name, parse_options on the words after it, then check_options.
#include "platform/shared.h"
#include "app/utility.h"
#include "tests/fuzz/fuzz_util.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Words are separated by zero bytes; each lives in its own block, so reading past a
    // word's end is caught.
    std::vector<std::string> words;
    std::string cur;
    for (size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    if (words.size() < 64)
        words.push_back(cur);
    std::vector<char*> argv;
    for (const std::string& w : words) {
        char* p = static_cast<char*>(std::malloc(w.size() + 1));
        std::memcpy(p, w.c_str(), w.size() + 1);
        argv.push_back(p);
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    use_usb = 0; // process-wide: each input starts as a fresh process does
    char exe[256];
    std::snprintf(exe, sizeof exe, "%s", argv[0] + base_name_offset(argv[0]));
    if (argc < 2) {
        print_usage(exe);
    } else {
        cmd_options opts = {};
        int rc = parse_options(argc - 1, argv.data() + 1, &opts);
        if (rc == PARSE_HELP)
            print_usage(exe);
        if (rc > PARSE_VERSION || rc < -9)
            std::abort();
        if (rc == PARSE_GO_ON && check_options(opts) == 0) {
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
        }
    }
    for (char* p : argv)
        std::free(p);
    return 0;
}
