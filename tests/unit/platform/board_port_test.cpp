// LARKSPUR_BOARD's forms, and which ports a chosen one takes in.
#include "platform/board_port.h"

#include <gtest/gtest.h>

namespace {

TEST(BoardPort, ChoiceForms) {
    const std::pair<const char*, const char*> cases[] = {
        {"1-3", "1-3"},
        {"1-3.2.1", "1-3.2.1"},
        {"12-10", "12-10"},
        {"pci-0000:00:14.0-usb-0:3.2", "pci-0000:00:14.0-usb-0:3.2"},
        // An interface's ID_PATH names its device's port.
        {"pci-0000:00:14.0-usb-0:3.2:1.0", "pci-0000:00:14.0-usb-0:3.2"},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)",
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)"},
        {"", ""},
        {"1-", ""},
        {"1-3.", ""},
        {"1-3..2", ""},
        {"x-3", ""},
        {"1-3a", ""},
        {"usb3", ""},
        {"pci-0000:00:14.0-usb-0:", ""},
        {"pci-0000:00:14.0-usb-0:3:1", ""},
        {"pci-0000:00:14.0-usb-0:3:1.0.1", ""},
        {"#USB()", ""},
    };
    for (const auto& [value, normalised] : cases)
        EXPECT_EQ(port_choice_normalised(value), normalised) << value;
}

TEST(BoardPort, AChosenPortTakesInThePortsBelowIt) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"1-3", "1-3", true},
        {"1-3.2", "1-3", true},
        {"1-31", "1-3", false},
        {"1-3", "1-3.2", false},
        {"2-3", "1-3", false},
        {"pci-0:14.0-usb-0:3.2", "pci-0:14.0-usb-0:3", true},
        {"pci-0:14.0-usb-0:33", "pci-0:14.0-usb-0:3", false},
        {"PCIROOT(0)#USB(3)#USB(2)", "PCIROOT(0)#USB(3)", true},
        {"1-3", "", false},
    };
    for (const auto& [name, chosen, below] : cases)
        EXPECT_EQ(port_at_or_below(name, chosen), below) << name << " under " << chosen;
}

TEST(BoardPort, CandidatesInPortOrder) {
    EXPECT_TRUE(port_before({"1-2"}, {"1-10"}));
    EXPECT_FALSE(port_before({"1-10"}, {"1-2"}));
    EXPECT_TRUE(port_before({"1-3"}, {"1-3.1"}));
    EXPECT_TRUE(port_before({"1-9"}, {"2-1"}));
    EXPECT_TRUE(port_before({"1-9"}, {}));
    EXPECT_FALSE(port_before({}, {"1-9"}));
    EXPECT_FALSE(port_before({"1-2"}, {"1-2"}));
}

} // namespace
