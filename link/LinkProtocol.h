#pragma once
// Packet layouts and type codes shared by the manager, the DTUs and the relay.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int LINK_HEADER_SIZE = 16;  // device number (NUL-terminated, bytes 0-14), type at 15
constexpr int CREDENTIAL_SIZE = 32;
constexpr int RELAY_DTU_HEADER = 47;  // credential block + device number
constexpr int TYPE_OFFSET = 15;
// 0xFF never occurs in UTF-8 text, so a masked byte is never mistaken for the NUL.
constexpr uint8_t CREDENTIAL_MASK = 0xFF;  // the relay server uses the same byte

enum PacketType : uint8_t {
    DtuLogon = 0x00,
    DtuData = 0x01,
    DtuRestart = 0x03,
    DtuGetState = 0x04,
    DtuGetConfig = 0x05,
    DtuSetConfig = 0x06,
    RelayLogon = 0x60,
    RelayQuery = 0x61,
    RelayConnect = 0x62,
    RelayData = 0x63,
    RelayLogonAnswer = 0xE0,
    RelayDtuState = 0xE1,
    RelayDtuData = 0xE3,
};

// Writes the 32-byte credential block (masked name, type, masked password)
// into buf and returns 32. Names and passwords are cut to fit: the name to
// 15 bytes, the password to 16, so nothing is written past the block.
int buildCredentials(uint8_t* buf, uint8_t type, const std::string& user, const std::string& pwd);
// Inverse of the masking, for the relay: the text up to its NUL (or the field's end).
std::string unmaskField(const uint8_t* field, size_t size);

// The device number in bytes 0-14, or false when it has no NUL there.
bool headerDevNo(const uint8_t* packet, std::string& devNo);
// Writes devNo (at most 14 bytes) with its NUL at `at`, padding to 15 bytes.
void putDevNo(uint8_t* at, const char* devNo);

inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
