#include "app/utility.h"

#include "platform/screen.h"
#include "platform/shared.h"

#include <cassert>
#include <cstring>

int use_usb = 0;

const std::array<option_entry, 7> option_table = {{
    {"-h", false},
    {"-v", false},
    {"-t", true},
    {"-df", true},
    {"-com", true},
    {"-usb", false},
    {"-log", true},
}};

const char usage_format[] =
    "Usage: %s [options]\n"
    "Options:\n"
    "  -h,                 Show this help\n"
    "  -v,                 Display the version\n"
    "  -t    <string>      Select target(heron,egret, falcon)\n"
    "  -df   <path>        Input ddr initialization script file(*.inc)\n"
    "  -com  <num>         select the PC's UART to be used(1,2,3...), for heron/egret only\n"
    "  -usb                select the PC's USB to be used\n"
    "\n"
    "  For falcon, UART is not supported and USB is the default option.\n"
    "\n"
    "  Usage example:\n"
    "    Larkspur -t egret -df egret_ddr_script_filename -com 4\n"
    "    Larkspur -t egret -df egret_ddr_script_filename -usb\n"
    "    Larkspur -t falcon -df falcon_ddr_script_filename\n"
    "    \n";

int find_option(const char* opt) {
    for (size_t i = 0; i < option_table.size(); ++i) {
        if (std::strcmp(opt, option_table[i].word) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_ascii_alnum(char c) {
    return is_ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_all_digits(const char* text) {
    for (; *text; ++text) {
        if (!is_ascii_digit(*text))
            return false;
    }
    return true;
}

size_t base_name_offset(const char* env) {
    size_t offset = 0;
    for (size_t i = 0; env[i]; ++i) {
        if (env[i] == '\\' || env[i] == '/')
            offset = i + 1;
    }
    return offset;
}

namespace {

// A file name option: stored, then refused unless it begins with a letter or digit.
int take_file_name(const char* value, const char* option, int missing_rc, int bad_rc,
                   const char** field) {
    if (!value) {
        msg_printf("Invalid parameter for %s.\n", option);
        return missing_rc;
    }
    *field = value;
    if (!is_ascii_alnum(value[0])) {
        msg_printf("Invalid file name. The file name must begin with a char\n");
        *field = nullptr;
        return bad_rc;
    }
    return 0;
}

} // namespace

int parse_options(int argc, char* const* argv, cmd_options* out) {
    int pos = 0;
    while (pos < argc) {
        int opt = find_option(argv[pos]);
        const char* value = pos + 1 < argc ? argv[pos + 1] : nullptr;
        switch (opt) {
        case OPT_HELP:
            return PARSE_HELP;
        case OPT_VERSION:
            return PARSE_VERSION;
        case OPT_TARGET:
            if (!value) {
                out->target = nullptr;
                msg_printf("Invalid target.\n");
                return -2;
            }
            out->target = value;
            if (std::strcmp(value, "egret") == 0 || std::strcmp(value, "heron") == 0) {
                break;
            }
            if (std::strcmp(value, "falcon") == 0) {
                use_usb = 1;
                break;
            }
            msg_printf("Invalid target. Valid value:egret/heron/falcon\n");
            out->target = nullptr;
            return -1;
        case OPT_DDR_FILE:
            if (int rc = take_file_name(value, "-df", -6, -5, &out->ddr_file))
                return rc;
            break;
        case OPT_COM:
            if (!value)
                break;
            out->com_num = value;
            // An overlong number would not fit the port name; refuse it like a bad one.
            if (!is_all_digits(value) || std::strlen(value) > MAX_COM_DIGITS) {
                msg_printf("Invalid com number.\n");
                out->com_num = nullptr;
                return -6;
            }
            break;
        case OPT_USB:
            use_usb = 1;
            // "-usb" takes no value, so the next word is read as an option.
            pos += 1;
            continue;
        case OPT_LOG:
            if (int rc = take_file_name(value, "-log", -8, -7, &out->log_file))
                return rc;
            break;
        default:
            msg_printf("Invalid option.Please type \"Larkspur -h\" for help\n");
            return -9;
        }
        pos += 2;
    }
    return PARSE_GO_ON;
}

static bool is_serial_capable(const char* target) {
    return std::strcmp(target, "egret") == 0 || std::strcmp(target, "heron") == 0;
}

int check_options(const cmd_options& opts) {
    if (!opts.target || !opts.ddr_file) {
        msg_printf("target, ddr init file must be selected.\n");
        return -1;
    }
    if (is_serial_capable(opts.target)) {
        if (!opts.com_num && use_usb == 0) {
            msg_printf("For %s, UART or USB must be selected.\n", opts.target);
            return -1;
        }
        if (opts.com_num && use_usb == 1) {
            msg_printf("com and usb can not be selected at same time.\n");
            return -1;
        }
    }
    return 0;
}

void print_usage(const char* exe_name) {
    static char str_info[8192];
    std::snprintf(str_info, sizeof str_info, usage_format, exe_name);
    msg_printf("%s", str_info);
}

void print_version() {
    msg_printf(
        "Larkspur DDR bring-up and soak test. Copyright (c) 2026 the Larkspur developers.\n");
    msg_printf("Version 0.042., built at %s,%s\n", __TIME__, __DATE__);
}

// ---- DDR init script ----------------------------------------------------------------

int hex_digit_value(char c, uint32_t* value) {
    if (c >= '0' && c <= '9')
        *value = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
        *value = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *value = static_cast<uint32_t>(c - 'A' + 10);
    else
        return -1;
    return 0;
}

int parse_hex_num(const char* word, uint32_t* value) {
    if (word[0] != '0' || (word[1] != 'x' && word[1] != 'X'))
        return -1;
    size_t len = std::strlen(word);
    if (len < 3 || len > 10)
        return -2;
    uint32_t result = 0;
    for (size_t i = 2; i < len; ++i) {
        uint32_t tmp_bit;
        if (hex_digit_value(word[i], &tmp_bit) != 0)
            return -3;
        result = result * 16 + tmp_bit;
    }
    *value = result;
    return 0;
}

namespace {

constexpr size_t LINE_BUF_SIZE = 256; // 255 bytes of a line, its line feed included, + zero
constexpr size_t WORD_SLOTS = 16;
constexpr size_t WORD_SLOT_SIZE = 64; // 63 characters + zero

struct word_buf {
    char slot[WORD_SLOTS][WORD_SLOT_SIZE];
};

// Splits a line that ends with a line feed into chWordBuf. Returns 0, or the syntax error
// text when the line does not fit the buffers.
const char* split_words(const char* line, word_buf* chWordBuf) {
    size_t words = 0;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\n' || *p == '\0')
            return nullptr;
        if (words == WORD_SLOTS)
            return "too many words";
        size_t len = 0;
        while (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\0') {
            if (len == WORD_SLOT_SIZE - 1)
                return "word too long";
            chWordBuf->slot[words][len++] = *p++;
        }
        chWordBuf->slot[words][len] = '\0';
        ++words;
    }
}

// Handles one complete line (ending with a line feed). 0 to go on, -1 after a message.
int parse_line(char* chLineBuf, int line_no, word_buf* chWordBuf, dcd_node* dcd_nodes,
               uint32_t max_len, uint32_t* count) {
    if (char* comment = std::strstr(chLineBuf, "//")) {
        comment[0] = '\n';
        comment[1] = '\0';
    }
    if (chLineBuf[0] == '\n')
        return 0;
    const char* limit = split_words(chLineBuf, chWordBuf);
    if (limit) {
        msg_printf("Syntax error in line %d: %s.\n", line_no, limit);
        return -1;
    }
    int result = 0;
    if (std::strcmp(chWordBuf->slot[0], "setmem") == 0) {
        uint32_t addr = 0;
        uint32_t value = 0;
        if (parse_hex_num(chWordBuf->slot[2], &addr) != 0) {
            msg_printf("Syntax error in line %d: address is not a valid num.\n", line_no);
            result = -1;
        } else if (parse_hex_num(chWordBuf->slot[4], &value) != 0) {
            msg_printf("Syntax error in line %d: value is not a valid num.\n", line_no);
            result = -1;
        } else if (*count >= max_len) {
            msg_printf("The number of ddr init items out of the max value(%d)\n",
                       static_cast<int>(max_len));
            result = -1;
        } else {
            dcd_nodes[*count].addr = addr;
            dcd_nodes[*count].value = value;
            ++*count;
        }
    }
    std::memset(chWordBuf, 0, sizeof *chWordBuf);
    return result;
}

} // namespace

int parse_ddr_init_script(FILE* pInFile, dcd_node* dcd_nodes, uint32_t* dcd_len) {
    assert((pInFile != NULL) && (dcd_nodes != NULL));
    char chLineBuf[LINE_BUF_SIZE];
    word_buf chWordBuf;
    std::memset(&chWordBuf, 0, sizeof chWordBuf);
    size_t len = 0;
    bool overlong = false;
    bool pending_cr = false; // a carriage return held back until we see what follows
    int line_no = 0;
    uint32_t count = 0;

    auto append = [&](char c) {
        if (len < LINE_BUF_SIZE - 1)
            chLineBuf[len++] = c;
        else
            overlong = true;
    };
    auto finish_line = [&]() -> int {
        ++line_no;
        int rc = 0;
        if (overlong) {
            msg_printf("Syntax error in line %d: line too long.\n", line_no);
            rc = -1;
        } else {
            chLineBuf[len] = '\0';
            rc = parse_line(chLineBuf, line_no, &chWordBuf, dcd_nodes, *dcd_len, &count);
        }
        len = 0;
        overlong = false;
        return rc;
    };

    for (;;) {
        int ch = std::fgetc(pInFile);
        if (ch == EOF) {
            if (std::ferror(pInFile)) {
                msg_printf("Read the init script error.\n");
                return -1;
            }
            break;
        }
        if (pending_cr) {
            pending_cr = false;
            if (ch != '\n')
                append('\r');
        }
        if (ch == '\r') {
            pending_cr = true;
            continue;
        }
        append(static_cast<char>(ch));
        if (ch == '\n' && finish_line() != 0)
            return -1;
    }
    if (pending_cr)
        append('\r');
    if (len > 0 || overlong) {
        append('\n');
        if (finish_line() != 0)
            return -1;
    }
    *dcd_len = count;
    return 0;
}
