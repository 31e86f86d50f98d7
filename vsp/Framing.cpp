#include "vsp/Framing.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int LED_AT = 7;
}

int frameAnnounced(uint32_t serProto, const uint8_t* b, int count) {
    switch (serProto) {
    case 2:
        if (count < 13) return 0;
        if (std::memcmp(b, "\x1b$VARDO", 7) != 0) return -1;
        return 13 + ((b[9] << 8) | b[10]);
    case 3:
        if (count < 16) return 0;
        if (std::memcmp(b, "\x1b&VaRdO", 7) != 0 && std::memcmp(b, "\x1b&VaRdo", 7) != 0) return -1;
        return 16 + (b[14] | (b[15] << 8));
    case 4:
        if (count < 16) return 0;
        if (std::memcmp(b, "\x1b$VDMIN", 7) != 0) return -1;
        return 18 + (b[14] | (b[15] << 8));
    default:
        return -1;
    }
}

int frameLength(uint32_t serProto, const uint8_t* buf, int count) {
    int n = frameAnnounced(serProto, buf, count);
    return n > count ? 0 : n;
}

int burstGapUs(bool atLineSpeed, int baud) {
    constexpr int FIXED_US = 50000, FLOOR_US = 2000;
    if (!atLineSpeed || baud <= 0) return FIXED_US;
    const long long us = (35LL * 1000000 + baud - 1) / baud;
    return static_cast<int>(std::max<long long>(FLOOR_US, std::min<long long>(FIXED_US, us)));
}

int frameLed(const uint8_t* frame, int count) { return count > LED_AT ? frame[LED_AT] : -1; }
