#pragma once
// IPv4 endpoint in the sockaddr_in layout, with the manager's text form
// "a.b.c.d:port" ("0.0.0.0:0" for no endpoint).
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

struct VDIPAddress {
    uint16_t sin_family = AF_INET;
    uint16_t sin_port = 0;  // network order
    uint8_t sin_addr[4] = {0, 0, 0, 0};
    uint8_t sin_zero[8] = {0, 0, 0, 0, 0, 0, 0, 0};

    VDIPAddress() = default;
    VDIPAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port);
    // The value's bytes, least significant first, become a.b.c.d: an address
    // as it lies in memory in network order keeps its meaning.
    VDIPAddress(uint32_t addr, uint16_t port);
    // Lenient: never fails; text that is not dotted decimal yields zeros.
    explicit VDIPAddress(const char* text);

    // Four address bytes, then the port's high and low byte.
    void SetFromWire(const uint8_t* six);
    // Strict: on failure the value is left unchanged.
    bool Parse(std::string_view text);
    std::string ToText() const;
    uint16_t Port() const;  // host order

    sockaddr_in ToSockaddr() const;
    static VDIPAddress FromSockaddr(const sockaddr_in& sa);

    // Address and port only; family and zero-fill take no part.
    bool operator==(const VDIPAddress& o) const;
};
static_assert(sizeof(VDIPAddress) == sizeof(sockaddr_in), "sockaddr_in layout");
