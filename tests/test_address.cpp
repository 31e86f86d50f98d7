#include <gtest/gtest.h>

#include "net/VDIPAddress.h"

TEST(VDIPAddress, DefaultIsNoEndpoint) {
    VDIPAddress a;
    EXPECT_EQ(a.ToText(), "0.0.0.0:0");
    EXPECT_EQ(a.sin_family, AF_INET);
}

struct ParseCase {
    const char* text;
    bool ok;
    const char* expect;  // ToText after the parse (the previous value on failure)
};

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, Parse) {
    const ParseCase& c = GetParam();
    VDIPAddress a(9, 9, 9, 9, 9);
    EXPECT_EQ(a.Parse(c.text), c.ok) << c.text;
    EXPECT_EQ(a.ToText(), c.expect) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseTable,
    ::testing::Values(ParseCase{"0.0.0.0:0", true, "0.0.0.0:0"},
                      ParseCase{"192.168.1.10:5000", true, "192.168.1.10:5000"},
                      ParseCase{"192.168.001.010:05000", true, "192.168.1.10:5000"},
                      ParseCase{"1.2.3.4", false, "9.9.9.9:9"},   // too short
                      ParseCase{"1.2.3.4:", false, "9.9.9.9:9"},  // too short
                      ParseCase{"", false, "9.9.9.9:9"},
                      ParseCase{"10.0.0.1:", true, "10.0.0.1:0"},
                      ParseCase{"1..3.4:5000", true, "1.0.3.4:5000"},
                      ParseCase{"1.2.3.4.5", true, "1.2.3.4:5"},
                      ParseCase{"1:2:3:4:5", true, "1.2.3.4:5"},
                      ParseCase{"1.2.3.4:5:6", true, "1.2.3.4:5"},
                      ParseCase{"300.1.1.1:70000", true, "44.1.1.1:4464"},
                      ParseCase{"1.2.3.4:500 ", false, "9.9.9.9:9"},
                      ParseCase{"a.2.3.4:500", false, "9.9.9.9:9"},
                      ParseCase{"-1.2.3.4:500", false, "9.9.9.9:9"},
                      ParseCase{"1.2.3:4000000", false, "9.9.9.9:9"},  // three separators
                      ParseCase{"1.1.1.1:99999999999999999999999", true, "1.1.1.1:65535"}));

TEST(VDIPAddress, WireAndConstructors) {
    const uint8_t wire[6] = {192, 168, 0, 1, 0x52, 0x14};
    VDIPAddress a;
    a.SetFromWire(wire);
    EXPECT_EQ(a.ToText(), "192.168.0.1:21012");
    EXPECT_EQ(VDIPAddress(0u, 21012).ToText(), "0.0.0.0:21012");
    EXPECT_EQ(VDIPAddress(0x0100007Fu, 80).ToText(), "127.0.0.1:80");  // network-order value in memory
    EXPECT_EQ(VDIPAddress("0.0.0.0:0").ToText(), "0.0.0.0:0");
    EXPECT_EQ(VDIPAddress("junk").ToText(), "0.0.0.0:0");
}

TEST(VDIPAddress, EqualityIgnoresZeroFill) {
    VDIPAddress a(1, 2, 3, 4, 5), b(1, 2, 3, 4, 5);
    b.sin_zero[3] = 7;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == VDIPAddress(1, 2, 3, 4, 6));
    EXPECT_FALSE(a == VDIPAddress(1, 2, 3, 5, 5));
}
