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

// Each string literal of the product (adjacent ones joined, as the compiler joins them)
// that ends in a line feed, unless its statement names standard error: the formats of the
// standard output, printed directly or through a wrapper alike.
std::vector<std::string> product_formats() {
    static const std::regex token(
        R"re(//[^\n]*|/\*[^*]*\*+(?:[^/*][^*]*\*+)*/|'(?:[^'\\]|\\.)*'|)re"
        R"re(("(?:[^"\\\n]|\\.)*"(?:\s*"(?:[^"\\\n]|\\.)*")*))re"),
        literal(R"re("((?:[^"\\]|\\.)*)")re"), newline(R"(\\n)"), escape(R"(\\(.))");
    std::vector<std::string> out;
    const fs::path src = LARKSPUR_SOURCE_DIR;
    // platform/posix/ is the Linux stand-in, whose lines go to standard error.
    for (const char* dir : {"app", "romproto", "transport", "ddrconfig", "platform"})
        for (const auto& e : fs::recursive_directory_iterator(src / dir)) {
            const fs::path& p = e.path();
            if (p.parent_path() == src / "platform" / "posix" ||
                (p.extension() != ".cpp" && p.extension() != ".h"))
                continue;
            const std::string code = testsupport::read_file(p);
            for (std::sregex_iterator t(code.begin(), code.end(), token), end; t != end; ++t) {
                std::string text, group = (*t)[1];
                for (std::sregex_iterator l(group.begin(), group.end(), literal); l != end; ++l)
                    text += (*l)[1];
                text = std::regex_replace(std::regex_replace(text, newline, "\n"), escape, "$1");
                if (!text.ends_with('\n'))
                    continue;
                size_t from = code.find_last_of(";{}", size_t(t->position()));
                from = from == std::string::npos ? 0 : from;
                std::string statement = code.substr(from, code.find(';', from + 1) - from);
                if (statement.find("stderr") == std::string::npos &&
                    statement.find("STD_ERROR_HANDLE") == std::string::npos)
                    out.push_back(text);
            }
        }
    std::ranges::sort(out);
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// A format's line as a pattern for a README line: %s stands for any text, %d and %u for a
// number, %x for hexadecimal digits (0x%08x for eight).
std::regex line_pattern(const std::string& line) {
    std::string p = std::regex_replace(trim(line), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    static const std::pair<std::regex, const char*> kStands[] = {
        {std::regex("%0([0-9])x"), "[0-9a-f]{$1}"},
        {std::regex("%x"), "[0-9a-f]+"},
        {std::regex("%[diu]"), "-?[0-9]+"},
        {std::regex("%c"), "."},
        {std::regex("%s"), ".*"}};
    for (const auto& [conv, stands] : kStands)
        p = std::regex_replace(p, conv, stands);
    return std::regex(p);
}

TEST(WindowsReadme, ListsEveryLineTheProgramPrints) {
    std::vector<std::string> shown;
    for (const std::string& l : testsupport::lines(
             testsupport::read_file(std::string(LARKSPUR_SOURCE_DIR) + "/docs/README-windows.txt")))
        shown.push_back(trim(l));
    const std::vector<std::string> formats = product_formats();
    // The scan finds lines printed from a table, a conditional and with placeholders.
    for (const char* line : {"KESTREL opened.", "Write to HidFALCON failed.",
                             "Syntax error in line 3: word too long.", "Open COM4 OK."})
        EXPECT_TRUE(std::ranges::any_of(formats, [&](const std::string& f) {
            return std::regex_match(line, line_pattern(f));
        })) << line;
    for (const std::string& f : formats)
        for (const std::string& line : testsupport::lines(f)) {
            const std::regex want = line_pattern(line);
            EXPECT_TRUE(trim(line).empty() ||
                        std::ranges::any_of(
                            shown, [&](const auto& s) { return std::regex_match(s, want); }))
                << "README-windows.txt lacks \"" << trim(line) << "\"";
        }
}

} // namespace
