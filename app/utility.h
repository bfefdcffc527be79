// Option utilities and the DDR init script parser.
#pragma once

#include "platform/shared.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct option_entry {
    const char* word;
    bool takes_value;
};

// The index of a word is the option's identity.
enum : int { OPT_HELP, OPT_VERSION, OPT_TARGET, OPT_DDR_FILE, OPT_COM, OPT_USB, OPT_LOG };
extern const std::array<option_entry, 7> option_table;

// References into the argument words; null means not set.
struct cmd_options {
    const char* target;
    const char* ddr_file;
    const char* com_num;
    const char* log_file;
};

// Parser results besides the negative failures.
enum : int { PARSE_GO_ON = 0, PARSE_HELP = 1, PARSE_VERSION = 2 };

// "COM" plus the digits must fit the 256-byte port name buffer.
constexpr size_t MAX_COM_DIGITS = 252;

extern const char usage_format[];

int find_option(const char* opt);
bool is_ascii_alnum(char c);
bool is_ascii_digit(char c);
bool is_all_digits(const char* text);
size_t base_name_offset(const char* env);
int parse_options(int argc, char* const* argv, cmd_options* out);
// The three consistency checks after a successful parse; prints the complaint, -1 on failure.
int check_options(const cmd_options& opts);
void print_usage(const char* exe_name);
void print_version();

int hex_digit_value(char c, uint32_t* value);
int parse_hex_num(const char* word, uint32_t* value);
int parse_ddr_init_script(FILE* pInFile, dcd_node* dcd_nodes, uint32_t* dcd_len);
