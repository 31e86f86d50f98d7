#pragma once
// The packet codec: every layout the manager, the DTUs and the relay
// exchange is written and read here, and nowhere else. A parse never reads
// past the length it is given; it says whether the packet is complete and
// hands back what it read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/VDIPAddress.h"

constexpr int LINK_HEADER_SIZE = 16;  // device number (NUL-terminated, bytes 0-14), type at 15
constexpr int CREDENTIAL_SIZE = 32;
constexpr int RELAY_DTU_HEADER = 47;  // credential block + device number
constexpr int DEVNO_FIELD = 15;       // a device number with its NUL
constexpr int DEVNO_MAX = 14;
constexpr int DTU_STATE_SIZE = 72;
constexpr int DTU_CONFIG_SIZE = 100;
constexpr int CFG_HOST_SIZE = 52;
constexpr int CFG_HOST_TEXT_MAX = 31;  // what the dialog writes into the host field
constexpr int RELAY_LOGON_ANSWER_SIZE = 20;
constexpr int RELAY_DTU_STATE_SIZE = 30;
constexpr int RELAY_TO_DTU_CONNECT_SIZE = 22;
constexpr int USER_FIELD = 15, PASSWORD_FIELD = 16;
// 0xFF never occurs in UTF-8 text, so a masked byte is never mistaken for the NUL.
constexpr uint8_t CREDENTIAL_MASK = 0xFF;  // the relay server uses the same byte

enum PacketType : uint8_t {
    DtuLogon = 0x00,
    DtuData = 0x01,
    DtuRestart = 0x03,
    DtuGetState = 0x04,
    DtuGetConfig = 0x05,
    DtuSetConfig = 0x06,
    // Relay to DTU: log on to the manager at this endpoint (our simulators' own).
    RelayToDtuConnect = 0x70,
    RelayLogon = 0x60,
    RelayQuery = 0x61,
    RelayConnect = 0x62,
    RelayData = 0x63,
    RelayLogonAnswer = 0xE0,
    RelayDtuState = 0xE1,
    RelayDtuData = 0xE3,
};
// Our DTU simulator answers a management request with its type | 0x80.
constexpr uint8_t ANSWER_FLAG = 0x80;
// The type's name as the protocol calls it ("DtuLogon", ...); null for a
// code it does not name (from a DTU, a management response).
const char* packetTypeName(uint8_t type);

enum class Parsed { Complete, Short, Bad };

// --- the 16-byte link header, and packets that start with it

struct LinkPacket {
    std::string_view devNo;  // without its NUL
    uint8_t type = 0;
    const uint8_t* body = nullptr;  // bytes after the header
    size_t bodyLen = 0;
};
// Short below 16 bytes; Bad when bytes 0-14 hold no NUL.
Parsed parseLinkPacket(const uint8_t* p, size_t len, LinkPacket& out);
// Writes the header into 16 bytes at `out`; the number is cut to 14 bytes.
void encodeLinkHeader(uint8_t* out, std::string_view devNo, uint8_t type);
// Replaces the device number of a header already written.
void setLinkDevNo(uint8_t* packet, std::string_view devNo);
std::vector<uint8_t> encodeLinkPacket(std::string_view devNo, uint8_t type, const uint8_t* body = nullptr,
                                      size_t bodyLen = 0);

// --- packets to the relay: credential block, then (from 0x61 on) a device number

// Writes the 32-byte block (masked name, type, masked password) and returns 32.
// Names and passwords are cut to their fields (15 and 16 bytes).
int encodeCredentials(uint8_t* out, uint8_t type, std::string_view user, std::string_view pwd);
// Credential block + device number: the 47-byte head of RelayQuery, RelayConnect, RelayData.
int encodeRelayDtuHeader(uint8_t* out, uint8_t type, std::string_view user, std::string_view pwd,
                         std::string_view devNo);
void setRelayDevNo(uint8_t* packet, std::string_view devNo);

struct RelayPacket {
    uint8_t type = 0;
    std::string user, pwd;   // unmasked
    std::string_view devNo;  // empty for RelayLogon
    const uint8_t* body = nullptr;
    size_t bodyLen = 0;
};
// Short below 32 bytes, or below 47 for a type that names a DTU; Bad when
// the device number has no NUL.
Parsed parseRelayPacket(const uint8_t* p, size_t len, RelayPacket& out);

// --- answers of the relay

struct RelayLogonAnswerPkt {
    uint16_t version = 0;
    uint16_t keepAlive = 0;
};
std::vector<uint8_t> encodeRelayLogonAnswer(const RelayLogonAnswerPkt& a);
Parsed parseRelayLogonAnswer(const uint8_t* p, size_t len, RelayLogonAnswerPkt& out);

struct RelayDtuStatePkt {
    std::string devNo;
    uint8_t wire[6] = {};  // IPv4 address, then the port high byte first; all zero: off line
    int64_t lastLogon = 0;  // FILETIME
    bool offline() const { return !wire[0] && !wire[1] && !wire[2] && !wire[3]; }
    VDIPAddress addr() const;
};
std::vector<uint8_t> encodeRelayDtuState(const RelayDtuStatePkt& s);
Parsed parseRelayDtuState(const uint8_t* p, size_t len, RelayDtuStatePkt& out);

// The relay tells a DTU where the manager is (simulators only).
std::vector<uint8_t> encodeRelayToDtuConnect(std::string_view devNo, const VDIPAddress& manager);
Parsed parseRelayToDtuConnect(const uint8_t* p, size_t len, VDIPAddress& manager);

// --- management payloads

struct DtuStatePkt {
    uint8_t raw[DTU_STATE_SIZE] = {};
    uint8_t rssi() const { return raw[DTU_STATE_SIZE - 1]; }
};
// Complete only for exactly 72 bytes.
Parsed parseDtuState(const uint8_t* p, size_t len, DtuStatePkt& out);
DtuStatePkt makeDtuState(uint8_t rssi);

struct DtuConfig {
    uint32_t baudRate = 0;
    uint8_t hostAddr[CFG_HOST_SIZE] = {};  // text with its NUL
    uint16_t maxPacketLen = 0;
    uint8_t rest[DTU_CONFIG_SIZE - 58] = {};  // sent back exactly as read

    std::string hostText() const;  // up to the NUL or the field's end
    // Writes the text (cut to 31 bytes) and its NUL; the bytes after it keep their value.
    void setHostText(std::string_view text);
};
void encodeDtuConfig(uint8_t* out, const DtuConfig& c);  // 100 bytes
// Complete only for exactly 100 bytes.
Parsed parseDtuConfig(const uint8_t* p, size_t len, DtuConfig& out);

inline constexpr uint32_t baudRates[5] = {9600, 19200, 38400, 57600, 115200};
