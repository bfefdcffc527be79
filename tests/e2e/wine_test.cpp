// The Windows build under Wine where it differs from the Linux build. The runs that show
// the same under Wine (full serial and falcon runs, script lines, the command line) are the
// native tests' own rows, run under Wine by tests/e2e/CMakeLists.txt.
#include "tests/e2e/board.h"

using namespace e2e;

namespace {

// Without the USB driver the open fails at once instead of waiting for a board. (The test
// prefix has a test driver, which refuses to open while no USB test runs its bridge.)
TEST(Wine, NoUsbDriver) {
    if (!wine_exe())
        GTEST_SKIP() << "LARKSPUR_WINE_EXE names no Windows build";
    Session s;
    auto r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"});
    EXPECT_EQ(testsupport::lines(r.out),
              std::vector<std::string>{"OpenUSB() failed! Please make sure board connected and "
                                       "in serial download mode."});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_LT(r.seconds, 20);
}

} // namespace
