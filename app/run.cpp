#include "app/run.h"

#include "app/state.h"
#include "app/utility.h"

#include <cstdio>
#include <cstring>

int target_id = TARGET_NONE;

int larkspur_run(int argc, char** argv) {
    static char str_exe_name_buf[256];
    std::snprintf(str_exe_name_buf, sizeof str_exe_name_buf, "%s",
                  argv[0] + base_name_offset(argv[0]));
    if (argc < 2) {
        print_usage(str_exe_name_buf);
        return 0;
    }
    cmd_options s_out = {};
    int result = parse_options(argc - 1, argv + 1, &s_out);
    if (result == PARSE_HELP) {
        print_usage(str_exe_name_buf);
        return 0;
    }
    if (result == PARSE_VERSION) {
        print_version();
        return 0;
    }
    if (result < 0)
        return -1;
    if (check_options(s_out) != 0)
        return -1;
    return 0;
}
