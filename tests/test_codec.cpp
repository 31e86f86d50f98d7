// The packet codec and the controller framing: tables of byte strings, and
// every layout encoded and parsed back. Each parse gets a buffer of exactly
// the bytes of its case, so a read past the length shows under ASan.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link/LinkProtocol.h"
#include "vsp/Framing.h"

namespace {
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string zeros(size_t n) { return std::string(n, '\0'); }
std::string header(const std::string& devNo, uint8_t type) {
    std::string h = devNo + zeros(15 - devNo.size());
    return h + static_cast<char>(type);
}
std::string kestrel(uint8_t led, size_t bodyLen) {
    std::string f = "\x1b$VARDO";
    f += static_cast<char>(led);
    f += static_cast<char>(0);
    f += static_cast<char>(bodyLen >> 8);
    f += static_cast<char>(bodyLen & 0xFF);
    f += "xy";
    return f + std::string(bodyLen, 'k');
}
}  // namespace

TEST(Framing, TableOfFrames) {
    const std::string osprey = std::string("\x1b&VaRdo", 7) + zeros(7) + std::string("\x03\x00", 2) + "abc";
    const std::string harrier = std::string("\x1b$VDMIN", 7) + zeros(7) + std::string("\x02\x00", 2) + "hh" + "ab";
    struct Case {
        const char* what;
        uint32_t proto;
        std::string in;
        int length, announced, led;
    } cases[] = {
        {"Kestrel complete", 2, kestrel(7, 4), 17, 17, 7},
        {"Kestrel with the next frame behind", 2, kestrel(7, 4) + "\x1b$", 17, 17, 7},
        {"Kestrel header short", 2, kestrel(7, 4).substr(0, 12), 0, 0, 7},
        {"Kestrel body short", 2, kestrel(7, 4).substr(0, 16), 0, 17, 7},
        {"Kestrel to every display", 2, kestrel(255, 0), 13, 13, 255},
        {"Kestrel over-long announced length", 2, kestrel(1, 0xFFFF).substr(0, 20), 0, 13 + 0xFFFF, 1},
        {"bad marker", 2, "\x1b$VARDX" + zeros(10), -1, -1, 0},
        {"Osprey with either marker", 3, osprey, 19, 19, 0},
        {"Osprey short", 3, osprey.substr(0, 15), 0, 0, 0},
        {"Harrier counts two bytes more", 4, harrier, 20, 20, 0},
        {"Unknow has no frames", 0, kestrel(1, 1), -1, -1, 1},
        {"nothing yet", 2, "", 0, 0, -1},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = bytes(c.in);  // exactly the bytes, nothing behind them
        const int n = static_cast<int>(b.size());
        EXPECT_EQ(frameLength(c.proto, b.data(), n), c.length) << c.what;
        EXPECT_EQ(frameAnnounced(c.proto, b.data(), n), c.announced) << c.what;
        if (n > 7) EXPECT_EQ(frameLed(b.data(), n), c.led) << c.what;
        else EXPECT_EQ(frameLed(b.data(), n), -1) << c.what;
    }
}

TEST(Codec, TableOfPackets) {
    struct Case {
        const char* what;
        std::string in;
        std::function<Parsed(const uint8_t*, size_t)> parse;
        Parsed expected;
    };
    auto link = [](const uint8_t* p, size_t n) { LinkPacket l; return parseLinkPacket(p, n, l); };
    auto relay = [](const uint8_t* p, size_t n) { RelayPacket r; return parseRelayPacket(p, n, r); };
    auto state = [](const uint8_t* p, size_t n) { RelayDtuStatePkt s; return parseRelayDtuState(p, n, s); };
    auto answer = [](const uint8_t* p, size_t n) { RelayLogonAnswerPkt a; return parseRelayLogonAnswer(p, n, a); };
    auto dtuState = [](const uint8_t* p, size_t n) { DtuStatePkt s; return parseDtuState(p, n, s); };
    auto config = [](const uint8_t* p, size_t n) { DtuConfig c; return parseDtuConfig(p, n, c); };
    const std::string noNul = std::string(15, 'A') + '\x01';
    Case cases[] = {
        {"header alone", header("D1", DtuData), link, Parsed::Complete},
        {"15 bytes", header("D1", DtuData).substr(0, 15), link, Parsed::Short},
        {"no NUL in the number", noNul + "body", link, Parsed::Bad},
        {"14-byte number", header("12345678901234", DtuLogon), link, Parsed::Complete},
        {"relay logon", zeros(15) + '\x60' + zeros(16), relay, Parsed::Complete},
        {"relay query one byte short", zeros(15) + '\x61' + zeros(30), relay, Parsed::Short},
        {"relay query without NUL", zeros(15) + '\x61' + zeros(16) + noNul, relay, Parsed::Bad},
        {"credentials short", zeros(31), relay, Parsed::Short},
        {"DTU state 30 bytes", header("D", RelayDtuState) + zeros(14), state, Parsed::Complete},
        {"DTU state 29 bytes", header("D", RelayDtuState) + zeros(13), state, Parsed::Short},
        {"DTU state without NUL", noNul + zeros(14), state, Parsed::Bad},
        {"logon answer 19 bytes", header("", RelayLogonAnswer) + zeros(3), answer, Parsed::Short},
        {"logon answer longer", header("", RelayLogonAnswer) + zeros(10), answer, Parsed::Complete},
        {"state answer 71", zeros(71), dtuState, Parsed::Short},
        {"state answer 72", zeros(72), dtuState, Parsed::Complete},
        {"state answer 73", zeros(73), dtuState, Parsed::Bad},
        {"config answer 99", zeros(99), config, Parsed::Short},
        {"config answer 100", zeros(100), config, Parsed::Complete},
        {"config answer 101", zeros(101), config, Parsed::Bad},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = bytes(c.in);
        EXPECT_EQ(c.parse(b.data(), b.size()), c.expected) << c.what;
    }
}

TEST(Codec, CredentialBlockLayoutAndBounds) {
    uint8_t buf[40];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(encodeCredentials(buf, RelayQuery, "abcdefghijklmno", "0123456789abcdef-too-long"), 32);
    EXPECT_EQ(buf[0], 'a' ^ CREDENTIAL_MASK);
    EXPECT_EQ(buf[14], 'o' ^ CREDENTIAL_MASK);
    EXPECT_EQ(buf[15], RelayQuery);
    EXPECT_EQ(buf[31], 'f' ^ CREDENTIAL_MASK);  // 16 password bytes, no terminator
    EXPECT_EQ(buf[32], 0xEE);                    // nothing past the block
    RelayPacket r;
    ASSERT_EQ(parseRelayPacket(buf, 32, r), Parsed::Short);  // a query needs its device number
    EXPECT_EQ(r.user, "abcdefghijklmno");
    EXPECT_EQ(r.pwd, "0123456789abcdef");
    encodeCredentials(buf, RelayLogon, "abcdefghijklmn", "");
    EXPECT_EQ(buf[14], 0);
    EXPECT_EQ(buf[16], 0);
    encodeCredentials(buf, RelayLogon, "", "");
    EXPECT_EQ(buf[0], 0);
    ASSERT_EQ(parseRelayPacket(buf, 32, r), Parsed::Complete);
    EXPECT_EQ(r.user, "");
}

TEST(Codec, EveryLayoutRoundTrips) {
    // Link packet: a number over 14 bytes is cut, the body follows the header.
    std::vector<uint8_t> p = encodeLinkPacket("123456789012345", DtuData, reinterpret_cast<const uint8_t*>("ab"), 2);
    ASSERT_EQ(p.size(), 18u);
    LinkPacket l;
    ASSERT_EQ(parseLinkPacket(p.data(), p.size(), l), Parsed::Complete);
    EXPECT_EQ(l.devNo, "12345678901234");
    EXPECT_EQ(l.type, DtuData);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(l.body), l.bodyLen), "ab");
    setLinkDevNo(p.data(), "X");
    ASSERT_EQ(parseLinkPacket(p.data(), p.size(), l), Parsed::Complete);
    EXPECT_EQ(l.devNo, "X");

    // Relay packet with a DTU and data.
    std::vector<uint8_t> r(RELAY_DTU_HEADER + 3);
    EXPECT_EQ(encodeRelayDtuHeader(r.data(), RelayData, "usr", "pwd", "D7"), RELAY_DTU_HEADER);
    std::memcpy(r.data() + RELAY_DTU_HEADER, "xyz", 3);
    setRelayDevNo(r.data(), "D8");
    RelayPacket rp;
    ASSERT_EQ(parseRelayPacket(r.data(), r.size(), rp), Parsed::Complete);
    EXPECT_EQ(rp.type, RelayData);
    EXPECT_EQ(rp.user, "usr");
    EXPECT_EQ(rp.pwd, "pwd");
    EXPECT_EQ(rp.devNo, "D8");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rp.body), rp.bodyLen), "xyz");

    // Logon answer.
    std::vector<uint8_t> a = encodeRelayLogonAnswer({257, 70});
    RelayLogonAnswerPkt ap;
    ASSERT_EQ(parseRelayLogonAnswer(a.data(), a.size(), ap), Parsed::Complete);
    EXPECT_EQ(ap.version, 257);
    EXPECT_EQ(ap.keepAlive, 70);
    LinkPacket al;
    ASSERT_EQ(parseLinkPacket(a.data(), a.size(), al), Parsed::Complete);
    EXPECT_EQ(al.type, RelayLogonAnswer);

    // DTU state: the port travels high byte first, the FILETIME low part first.
    RelayDtuStatePkt s;
    s.devNo = "S1";
    std::memcpy(s.wire, "\x0a\x00\x00\x09\x0f\xa0", 6);
    s.lastLogon = 0x0123456789ABCDEFLL;
    std::vector<uint8_t> sb = encodeRelayDtuState(s);
    ASSERT_EQ(sb.size(), 30u);
    EXPECT_EQ(sb[20], 0x0f);
    EXPECT_EQ(sb[22], 0xEF);
    EXPECT_EQ(sb[29], 0x01);
    RelayDtuStatePkt sp;
    ASSERT_EQ(parseRelayDtuState(sb.data(), sb.size(), sp), Parsed::Complete);
    EXPECT_EQ(sp.devNo, "S1");
    EXPECT_EQ(sp.addr().ToText(), "10.0.0.9:4000");
    EXPECT_EQ(sp.lastLogon, s.lastLogon);
    EXPECT_FALSE(sp.offline());
    EXPECT_TRUE(RelayDtuStatePkt{}.offline());

    // Relay to DTU: where the manager is.
    std::vector<uint8_t> c = encodeRelayToDtuConnect("S1", VDIPAddress(192, 0, 2, 1, 21012));
    VDIPAddress m;
    ASSERT_EQ(parseRelayToDtuConnect(c.data(), c.size(), m), Parsed::Complete);
    EXPECT_EQ(m.ToText(), "192.0.2.1:21012");

    // Management payloads.
    DtuStatePkt st = makeDtuState(255), stp;
    ASSERT_EQ(parseDtuState(st.raw, sizeof st.raw, stp), Parsed::Complete);
    EXPECT_EQ(stp.rssi(), 255);
    DtuConfig cfg;
    cfg.baudRate = 115200;
    cfg.maxPacketLen = 4464;
    cfg.setHostText(std::string(40, 'h'));  // the dialog writes at most 31 characters
    for (size_t i = 0; i < sizeof cfg.rest; ++i) cfg.rest[i] = static_cast<uint8_t>(i + 1);
    uint8_t raw[DTU_CONFIG_SIZE];
    encodeDtuConfig(raw, cfg);
    EXPECT_EQ(raw[0], 0x00);
    EXPECT_EQ(raw[1], 0xC2);  // 115200 little-endian
    EXPECT_EQ(raw[4 + 31], 0);
    EXPECT_EQ(raw[58], 1);
    DtuConfig back;
    ASSERT_EQ(parseDtuConfig(raw, sizeof raw, back), Parsed::Complete);
    EXPECT_EQ(back.baudRate, 115200u);
    EXPECT_EQ(back.maxPacketLen, 4464);
    EXPECT_EQ(back.hostText(), std::string(31, 'h'));
    EXPECT_EQ(std::memcmp(back.rest, cfg.rest, sizeof cfg.rest), 0);
    std::memset(back.hostAddr, 'z', sizeof back.hostAddr);  // no NUL: the text ends with the field
    EXPECT_EQ(back.hostText().size(), static_cast<size_t>(CFG_HOST_SIZE));
}
