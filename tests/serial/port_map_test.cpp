// The port map's text: what a line controller writes, and the mistakes that
// must stop the search rather than let channels fall to the wrong sockets.
#include "serial/port_map.h"

#include <gtest/gtest.h>

using namespace kvx;

TEST(PortMap, ReadsChannelsAndRefusesWhatItCannotTrust) {
    const std::string byPath = kByPathFolder;
    struct Case {
        const char* text;
        std::array<std::string, 8> ports;  // all empty: refused
        const char* error;
    };
    const Case cases[] = {
        {"# fixture A\n1 /dev/ttyUSB3\n\n  3\tpci-0000:00:14.0-usb-0:1.3:1.0-port0  # socket 3\r\n8 /dev/serial/by-id/x\n",
         {"/dev/ttyUSB3", "", byPath + "pci-0000:00:14.0-usb-0:1.3:1.0-port0", "", "", "", "", "/dev/serial/by-id/x"},
         ""},
        {"2 /dev/ttyUSB0\n9 /dev/ttyUSB1\n", {}, "line 2: channel 9: the channels are 1 to 8"},
        {"0 /dev/ttyUSB0\n", {}, "line 1: channel 0: the channels are 1 to 8"},
        {"1 /dev/a\n1 /dev/b\n", {}, "line 2: channel 1 is given twice"},
        {"1 /dev/a\n2 /dev/a\n", {}, "line 2: /dev/a is channel 1 already"},
        {"1\n", {}, "line 1: expected a channel number from 1 to 8 and a port"},
        {"one /dev/a\n", {}, "line 1: expected a channel number from 1 to 8 and a port"},
        {"1/dev/a\n", {}, "line 1: expected a channel number from 1 to 8 and a port"},
        {"# nothing yet\n\n", {}, "no channel has a port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        auto map = parsePortMap(c.text, error);
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(map.has_value(), *c.error == 0);
        if (map) EXPECT_EQ(map->ports, c.ports);
    }
}

TEST(PortMap, PortOptionsAreTheChannelsInOrder) {
    std::string error;
    auto map = portMapOf({"COM3", "/dev/serial/by-path/p", "ttyUSB0"}, error);
    ASSERT_TRUE(map);
    EXPECT_EQ(map->ports, (std::array<std::string, 8>{"COM3", "/dev/serial/by-path/p", "ttyUSB0"}));
    EXPECT_EQ(map->lastChannel(), 3);
    EXPECT_FALSE(portMapOf({"a", "b", "a"}, error));
    EXPECT_EQ(error, "a is given twice");
    EXPECT_FALSE(portMapOf(std::vector<std::string>(9, "x"), error));
    EXPECT_EQ(error, "9 ports given; there are 8 channels");
}

TEST(PortMap, UsbFiltersTakeOnlyTheirAdapters) {
    SerialPortInfo ftdi;
    ftdi.vendorId = "0403";
    ftdi.productId = "6001";
    ftdi.serial = "A50285BI";
    const SerialPortInfo emulated;  // no USB identity
    struct Case {
        const char* text;
        bool parses, ftdiMatches;
    };
    for (const Case& c : {Case{"0403:6001", true, true}, Case{"0403:6001:A50285BI", true, true},
                          Case{"0403:6001:OTHER", true, false}, Case{"0403:6015", true, false},
                          Case{"0403:600A", true, false}, Case{"0403", false, false}, Case{"403:6001", false, false},
                          Case{"0403:6001:", false, false}, Case{"04g3:6001", false, false}}) {
        SCOPED_TRACE(c.text);
        std::string error;
        auto f = parseUsbFilter(c.text, error);
        ASSERT_EQ(f.has_value(), c.parses) << error;
        if (!f) continue;
        EXPECT_EQ(f->matches(ftdi), c.ftdiMatches);
        EXPECT_FALSE(f->matches(emulated));
    }
}
