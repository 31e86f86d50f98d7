#include "link/LinkProtocol.h"

#include <cstring>

namespace {
void putMasked(uint8_t* at, size_t room, const std::string& text) {
    size_t n = text.size() < room ? text.size() : room;
    for (size_t i = 0; i < n; ++i) at[i] = static_cast<uint8_t>(text[i]) ^ CREDENTIAL_MASK;
    if (n < room) at[n] = 0;
}
}  // namespace

int buildCredentials(uint8_t* buf, uint8_t type, const std::string& user, const std::string& pwd) {
    std::memset(buf, 0, CREDENTIAL_SIZE);
    putMasked(buf, 15, user);
    buf[TYPE_OFFSET] = type;
    putMasked(buf + 16, 16, pwd);
    return CREDENTIAL_SIZE;
}

std::string unmaskField(const uint8_t* field, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && field[i]; ++i) out += static_cast<char>(field[i] ^ CREDENTIAL_MASK);
    return out;
}

bool headerDevNo(const uint8_t* packet, std::string& devNo) {
    const void* nul = std::memchr(packet, 0, 15);
    if (!nul) return false;
    devNo.assign(reinterpret_cast<const char*>(packet), static_cast<const uint8_t*>(nul) - packet);
    return true;
}

void putDevNo(uint8_t* at, const char* devNo) {
    size_t n = strnlen(devNo, 14);
    std::memcpy(at, devNo, n);
    std::memset(at + n, 0, 15 - n);
}
