// The Windows README lists every line larkspur can print on standard output. The lines are
// taken from the product sources at test time, so a message added later cannot be missing
// from the list.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

namespace {

namespace fs = std::filesystem;

// The message formats of one source file: each string literal, adjacent ones joined as the
// compiler joins them, that ends in a line feed, unless its statement names standard
// error. This holds for a message printed directly and through any wrapper alike.
void formats_in(const std::string& code, std::vector<std::string>& out) {
    std::string statement; // the code of the statement so far, without blanks
    std::vector<std::string> found;
    size_t joined_at = std::string::npos; // statement size right after the last literal
    auto skip_to = [&](size_t at) { return at == std::string::npos ? code.size() : at; };
    for (size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        if (code.compare(i, 2, "//") == 0) {
            i = skip_to(code.find('\n', i));
        } else if (code.compare(i, 2, "/*") == 0) {
            i = skip_to(code.find("*/", i)) + 1;
        } else if (c == '\'' && !(i && std::isalnum(static_cast<unsigned char>(code[i - 1])))) {
            // a character literal; a quote after a digit only separates digits
            i = skip_to(code.find('\'', i + (code[i + 1] == '\\' ? 3 : 1)));
        } else if (c == '"') {
            if (joined_at != statement.size() || found.empty())
                found.emplace_back();
            for (++i; i < code.size() && code[i] != '"'; ++i) {
                if (code[i] != '\\')
                    found.back() += code[i];
                else if (code[++i] == 'n')
                    found.back() += '\n';
                else
                    found.back() += code[i] == 't' ? '\t' : code[i];
            }
            joined_at = statement.size();
        } else if (c == ';' || c == '{' || c == '}') {
            if (statement.find("stderr") == std::string::npos &&
                statement.find("STD_ERROR_HANDLE") == std::string::npos)
                for (std::string& f : found)
                    if (!f.empty() && f.back() == '\n')
                        out.push_back(f);
            statement.clear();
            found.clear();
            joined_at = std::string::npos;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            statement += c;
        }
    }
}

std::vector<std::string> product_formats() {
    std::vector<std::string> out;
    const fs::path src = LARKSPUR_SOURCE_DIR;
    // platform/ holds the per-target table with its lines; platform/posix/ is the Linux
    // stand-in, whose lines go to standard error.
    for (const char* dir : {"app", "romproto", "transport", "ddrconfig", "platform"})
        for (const auto& e : fs::recursive_directory_iterator(src / dir)) {
            const fs::path& p = e.path();
            if ((p.extension() == ".cpp" || p.extension() == ".h") &&
                p.parent_path() != src / "platform" / "posix")
                formats_in(testsupport::read_file(p), out);
        }
    std::ranges::sort(out);
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// One line of a format as a pattern for the README's line: %s stands for any text, a
// number for digits, 0x%08x for eight hexadecimal digits.
std::regex line_pattern(const std::string& line) {
    static const std::regex conv("%[-+ 0#]*([0-9]*)l*([sdiuxXc%])");
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string pattern;
    std::smatch m;
    std::string rest = line;
    while (std::regex_search(rest, m, conv)) {
        pattern += std::regex_replace(m.prefix().str(), special, R"(\$&)");
        const char k = m[2].str()[0];
        const std::string width = m[1].length() ? "{" + m[1].str() + "}" : "+";
        pattern += k == 's'   ? ".*"
                   : k == 'c' ? "."
                   : k == '%' ? "%"
                   : k == 'x' ? "[0-9a-f]" + width
                   : k == 'X' ? "[0-9A-F]" + width
                              : "-?[0-9]+";
        rest = m.suffix();
    }
    return std::regex(pattern + std::regex_replace(rest, special, R"(\$&)"));
}

TEST(WindowsReadme, ListsEveryLineTheProgramPrints) {
    const std::string readme =
        testsupport::read_file(std::string(LARKSPUR_SOURCE_DIR) + "/docs/README-windows.txt");
    std::vector<std::string> shown;
    for (const std::string& l : testsupport::lines(readme))
        shown.push_back(trim(l));
    const std::vector<std::string> formats = product_formats();
    // The scan finds the formats behind lines printed through a table, a conditional and
    // a placeholder.
    for (const char* line : {"KESTREL opened.", "Write to HidFALCON failed.",
                             "Syntax error in line 3: word too long.", "Open COM4 OK."})
        EXPECT_TRUE(std::ranges::any_of(formats, [&](const std::string& f) {
            return std::regex_match(line, line_pattern(trim(f)));
        })) << line;
    for (const std::string& f : formats)
        for (const std::string& line : testsupport::lines(f)) {
            if (trim(line).empty())
                continue;
            const std::regex want = line_pattern(trim(line));
            EXPECT_TRUE(std::ranges::any_of(
                shown, [&](const std::string& s) { return std::regex_match(s, want); }))
                << "README-windows.txt lacks \"" << trim(line) << "\"";
        }
}

} // namespace
