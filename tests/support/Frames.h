#pragma once
// Controller frames of the three LED display protocols, as a serial program writes them.
#include <cstdint>
#include <string>

inline std::string kestrel(uint8_t led, const std::string& data) {
    std::string f = "\x1b$VARDO";
    f += static_cast<char>(led);
    f += '\0';
    f += static_cast<char>(data.size() >> 8);
    f += static_cast<char>(data.size() & 0xFF);
    f += "\x01\x02";
    return f + data;
}
inline std::string osprey(uint8_t led, const std::string& data, bool lowerO = false) {
    std::string f = lowerO ? "\x1b&VaRdo" : "\x1b&VaRdO";
    f += static_cast<char>(led);
    f += std::string(6, 'h');
    f += static_cast<char>(data.size() & 0xFF);
    f += static_cast<char>(data.size() >> 8);
    return f + data;
}
inline std::string harrier(uint8_t led, const std::string& data) {
    std::string f = "\x1b$VDMIN";
    f += static_cast<char>(led);
    f += std::string(6, 'h');
    f += static_cast<char>(data.size() & 0xFF);
    f += static_cast<char>(data.size() >> 8);
    f += "tt";
    return f + data;
}
inline std::string frame(int proto, uint8_t led, const std::string& data) {
    return proto == 2 ? kestrel(led, data) : proto == 3 ? osprey(led, data) : harrier(led, data);
}
