#include "net/VDIPAddress.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

void fill(VDIPAddress& v, const unsigned long parts[5]) {
    v.sin_family = AF_INET;
    for (int i = 0; i < 4; ++i) v.sin_addr[i] = static_cast<uint8_t>(parts[i] & 0xFF);
    v.sin_port = htons(static_cast<uint16_t>(parts[4] & 0xFFFF));
}

// Splits at '.' or ':' into five parts; scanning stops at the fifth separator.
// Returns the number of separators seen, or -1 when `strict` and a character
// other than a digit or separator is met.
int split(std::string_view text, bool strict, std::string parts[5]) {
    int seps = 0;
    for (char ch : text) {
        if (ch == '.' || ch == ':') {
            if (++seps == 5) break;
            continue;
        }
        if (strict && (ch < '0' || ch > '9')) return -1;
        parts[seps] += ch;
    }
    return seps;
}

}  // namespace

VDIPAddress::VDIPAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port)
    : sin_port(htons(port)), sin_addr{a, b, c, d} {}

VDIPAddress::VDIPAddress(uint32_t addr, uint16_t port) : sin_port(htons(port)) {
    for (int i = 0; i < 4; ++i) sin_addr[i] = static_cast<uint8_t>(addr >> (8 * i));
}

VDIPAddress::VDIPAddress(const char* text) {
    std::string parts[5];
    split(text ? text : "", false, parts);
    unsigned long vals[5];
    for (int i = 0; i < 5; ++i) vals[i] = static_cast<unsigned long>(std::strtol(parts[i].c_str(), nullptr, 10));
    fill(*this, vals);
}

void VDIPAddress::SetFromWire(const uint8_t* six) {
    sin_family = AF_INET;
    std::memcpy(sin_addr, six, 4);
    auto* p = reinterpret_cast<uint8_t*>(&sin_port);
    p[0] = six[4];
    p[1] = six[5];
}

bool VDIPAddress::Parse(std::string_view text) {
    if (text.size() < 9) return false;
    std::string parts[5];
    if (split(text, true, parts) < 4) return false;
    unsigned long vals[5];
    for (int i = 0; i < 5; ++i) {
        unsigned long v = 0;  // reduced as it grows: any number of digits
        for (char ch : parts[i]) v = (v * 10 + static_cast<unsigned long>(ch - '0')) % 65536;
        vals[i] = v;
    }
    fill(*this, vals);
    return true;
}

std::string VDIPAddress::ToText() const {
    return std::to_string(sin_addr[0]) + "." + std::to_string(sin_addr[1]) + "." + std::to_string(sin_addr[2]) +
           "." + std::to_string(sin_addr[3]) + ":" + std::to_string(Port());
}

uint16_t VDIPAddress::Port() const { return ntohs(sin_port); }

sockaddr_in VDIPAddress::ToSockaddr() const {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = sin_port;
    std::memcpy(&sa.sin_addr, sin_addr, 4);
    return sa;
}

VDIPAddress VDIPAddress::FromSockaddr(const sockaddr_in& sa) {
    VDIPAddress v;
    v.sin_port = sa.sin_port;
    std::memcpy(v.sin_addr, &sa.sin_addr, 4);
    return v;
}

bool VDIPAddress::operator==(const VDIPAddress& o) const {
    return sin_port == o.sin_port && std::memcmp(sin_addr, o.sin_addr, 4) == 0;
}
