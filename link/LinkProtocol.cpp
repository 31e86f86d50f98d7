#include "link/LinkProtocol.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int TYPE_AT = 15;
constexpr int STATE_ADDR = 16, STATE_FT_LOW = 22, STATE_FT_HIGH = 26;
constexpr int ANSWER_VERSION = 16, ANSWER_KEEPALIVE = 18;
constexpr int CFG_BAUD = 0, CFG_HOST = 4, CFG_MAXLEN = 56, CFG_REST = 58;

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A device number field: the text up to its NUL, or false without one.
bool readDevNo(const uint8_t* field, std::string_view& out) {
    const void* nul = std::memchr(field, 0, DEVNO_FIELD);
    if (!nul) return false;
    out = std::string_view(reinterpret_cast<const char*>(field),
                           static_cast<size_t>(static_cast<const uint8_t*>(nul) - field));
    return true;
}

void writeDevNo(uint8_t* at, std::string_view devNo) {
    size_t n = std::min(devNo.size(), static_cast<size_t>(DEVNO_MAX));
    const void* nul = std::memchr(devNo.data(), 0, n);
    if (nul) n = static_cast<size_t>(static_cast<const char*>(nul) - devNo.data());
    std::memcpy(at, devNo.data(), n);
    std::memset(at + n, 0, DEVNO_FIELD - n);
}

void putMasked(uint8_t* at, size_t room, std::string_view text) {
    size_t n = text.size() < room ? text.size() : room;
    for (size_t i = 0; i < n; ++i) at[i] = static_cast<uint8_t>(text[i]) ^ CREDENTIAL_MASK;
    if (n < room) at[n] = 0;
}

std::string unmask(const uint8_t* field, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && field[i]; ++i) out += static_cast<char>(field[i] ^ CREDENTIAL_MASK);
    return out;
}
}  // namespace

Parsed parseLinkPacket(const uint8_t* p, size_t len, LinkPacket& out) {
    if (len < LINK_HEADER_SIZE) return Parsed::Short;
    if (!readDevNo(p, out.devNo)) return Parsed::Bad;
    out.type = p[TYPE_AT];
    out.body = p + LINK_HEADER_SIZE;
    out.bodyLen = len - LINK_HEADER_SIZE;
    return Parsed::Complete;
}

void encodeLinkHeader(uint8_t* out, std::string_view devNo, uint8_t type) {
    writeDevNo(out, devNo);
    out[TYPE_AT] = type;
}

void setLinkDevNo(uint8_t* packet, std::string_view devNo) { writeDevNo(packet, devNo); }

std::vector<uint8_t> encodeLinkPacket(std::string_view devNo, uint8_t type, const uint8_t* body, size_t bodyLen) {
    std::vector<uint8_t> p(LINK_HEADER_SIZE + bodyLen);
    encodeLinkHeader(p.data(), devNo, type);
    if (bodyLen) std::memcpy(p.data() + LINK_HEADER_SIZE, body, bodyLen);
    return p;
}

int encodeCredentials(uint8_t* out, uint8_t type, std::string_view user, std::string_view pwd) {
    std::memset(out, 0, CREDENTIAL_SIZE);
    putMasked(out, USER_FIELD, user);
    out[TYPE_AT] = type;
    putMasked(out + 16, PASSWORD_FIELD, pwd);
    return CREDENTIAL_SIZE;
}

int encodeRelayDtuHeader(uint8_t* out, uint8_t type, std::string_view user, std::string_view pwd,
                         std::string_view devNo) {
    encodeCredentials(out, type, user, pwd);
    writeDevNo(out + CREDENTIAL_SIZE, devNo);
    return RELAY_DTU_HEADER;
}

void setRelayDevNo(uint8_t* packet, std::string_view devNo) { writeDevNo(packet + CREDENTIAL_SIZE, devNo); }

Parsed parseRelayPacket(const uint8_t* p, size_t len, RelayPacket& out) {
    if (len < CREDENTIAL_SIZE) return Parsed::Short;
    out.type = p[TYPE_AT];
    out.user = unmask(p, USER_FIELD);
    out.pwd = unmask(p + 16, PASSWORD_FIELD);
    out.devNo = {};
    out.body = p + CREDENTIAL_SIZE;
    out.bodyLen = len - CREDENTIAL_SIZE;
    if (out.type == RelayLogon) return Parsed::Complete;
    if (len < RELAY_DTU_HEADER) return Parsed::Short;
    if (!readDevNo(p + CREDENTIAL_SIZE, out.devNo)) return Parsed::Bad;
    out.body = p + RELAY_DTU_HEADER;
    out.bodyLen = len - RELAY_DTU_HEADER;
    return Parsed::Complete;
}

std::vector<uint8_t> encodeRelayLogonAnswer(const RelayLogonAnswerPkt& a) {
    std::vector<uint8_t> p(RELAY_LOGON_ANSWER_SIZE, 0);
    encodeLinkHeader(p.data(), "", RelayLogonAnswer);
    putU16(&p[ANSWER_VERSION], a.version);
    putU16(&p[ANSWER_KEEPALIVE], a.keepAlive);
    return p;
}

Parsed parseRelayLogonAnswer(const uint8_t* p, size_t len, RelayLogonAnswerPkt& out) {
    if (len < RELAY_LOGON_ANSWER_SIZE) return Parsed::Short;
    out.version = getU16(p + ANSWER_VERSION);
    out.keepAlive = getU16(p + ANSWER_KEEPALIVE);
    return Parsed::Complete;
}

VDIPAddress RelayDtuStatePkt::addr() const {
    VDIPAddress a;
    a.SetFromWire(wire);
    return a;
}

std::vector<uint8_t> encodeRelayDtuState(const RelayDtuStatePkt& s) {
    std::vector<uint8_t> p(RELAY_DTU_STATE_SIZE, 0);
    encodeLinkHeader(p.data(), s.devNo, RelayDtuState);
    std::memcpy(&p[STATE_ADDR], s.wire, sizeof s.wire);
    putU32(&p[STATE_FT_LOW], static_cast<uint32_t>(s.lastLogon));
    putU32(&p[STATE_FT_HIGH], static_cast<uint32_t>(static_cast<uint64_t>(s.lastLogon) >> 32));
    return p;
}

Parsed parseRelayDtuState(const uint8_t* p, size_t len, RelayDtuStatePkt& out) {
    if (len < RELAY_DTU_STATE_SIZE) return Parsed::Short;
    std::string_view devNo;
    if (!readDevNo(p, devNo)) return Parsed::Bad;
    out.devNo = devNo;
    std::memcpy(out.wire, p + STATE_ADDR, sizeof out.wire);
    out.lastLogon = static_cast<int64_t>(static_cast<uint64_t>(getU32(p + STATE_FT_LOW)) |
                                         (static_cast<uint64_t>(getU32(p + STATE_FT_HIGH)) << 32));
    return Parsed::Complete;
}

std::vector<uint8_t> encodeRelayToDtuConnect(std::string_view devNo, const VDIPAddress& manager) {
    std::vector<uint8_t> p(RELAY_TO_DTU_CONNECT_SIZE, 0);
    encodeLinkHeader(p.data(), devNo, RelayToDtuConnect);
    std::memcpy(&p[16], manager.sin_addr, 4);
    p[20] = static_cast<uint8_t>(manager.Port() >> 8);
    p[21] = static_cast<uint8_t>(manager.Port() & 0xFF);
    return p;
}

Parsed parseRelayToDtuConnect(const uint8_t* p, size_t len, VDIPAddress& manager) {
    if (len < RELAY_TO_DTU_CONNECT_SIZE) return Parsed::Short;
    manager.SetFromWire(p + 16);
    return Parsed::Complete;
}

Parsed parseDtuState(const uint8_t* p, size_t len, DtuStatePkt& out) {
    if (len != DTU_STATE_SIZE) return len < DTU_STATE_SIZE ? Parsed::Short : Parsed::Bad;
    std::memcpy(out.raw, p, DTU_STATE_SIZE);
    return Parsed::Complete;
}

DtuStatePkt makeDtuState(uint8_t rssi) {
    DtuStatePkt s;
    s.raw[DTU_STATE_SIZE - 1] = rssi;
    return s;
}

std::string DtuConfig::hostText() const {
    const void* nul = std::memchr(hostAddr, 0, CFG_HOST_SIZE);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - hostAddr) : CFG_HOST_SIZE;
    return std::string(reinterpret_cast<const char*>(hostAddr), n);
}

void DtuConfig::setHostText(std::string_view text) {
    size_t n = std::min(text.size(), static_cast<size_t>(CFG_HOST_TEXT_MAX));
    std::memcpy(hostAddr, text.data(), n);
    hostAddr[n] = 0;
}

void encodeDtuConfig(uint8_t* out, const DtuConfig& c) {
    putU32(out + CFG_BAUD, c.baudRate);
    std::memcpy(out + CFG_HOST, c.hostAddr, CFG_HOST_SIZE);
    putU16(out + CFG_MAXLEN, c.maxPacketLen);
    std::memcpy(out + CFG_REST, c.rest, sizeof c.rest);
}

Parsed parseDtuConfig(const uint8_t* p, size_t len, DtuConfig& out) {
    if (len != DTU_CONFIG_SIZE) return len < DTU_CONFIG_SIZE ? Parsed::Short : Parsed::Bad;
    out.baudRate = getU32(p + CFG_BAUD);
    std::memcpy(out.hostAddr, p + CFG_HOST, CFG_HOST_SIZE);
    out.maxPacketLen = getU16(p + CFG_MAXLEN);
    std::memcpy(out.rest, p + CFG_REST, sizeof out.rest);
    return Parsed::Complete;
}

const char* packetTypeName(uint8_t type) {
    switch (type) {
    case DtuLogon: return "DtuLogon";
    case DtuData: return "DtuData";
    case DtuRestart: return "DtuRestart";
    case DtuGetState: return "DtuGetState";
    case DtuGetConfig: return "DtuGetConfig";
    case DtuSetConfig: return "DtuSetConfig";
    case RelayToDtuConnect: return "RelayToDtuConnect";
    case RelayLogon: return "RelayLogon";
    case RelayQuery: return "RelayQuery";
    case RelayConnect: return "RelayConnect";
    case RelayData: return "RelayData";
    case RelayLogonAnswer: return "RelayLogonAnswer";
    case RelayDtuState: return "RelayDtuState";
    case RelayDtuData: return "RelayDtuData";
    default: return nullptr;
    }
}
