#pragma once
// Time as the manager reads it; tests bring a clock they control.
#include <cstdint>
#include <string>

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t tickMs() = 0;         // monotonic milliseconds
    virtual uint64_t tickUs() { return tickMs() * 1000u; }  // monotonic microseconds
    virtual int64_t localFileTime() = 0;   // local wall-clock time, 100 ns since 1601-01-01
};

class SystemClock : public Clock {
public:
    uint64_t tickMs() override;
    uint64_t tickUs() override;
    int64_t localFileTime() override;
};

constexpr int64_t FILETIME_PER_SECOND = 10000000;
// 9999-12-31 23:59:59, the last time the four-digit year shows; a time from
// the wire beyond it (or not after 1601) is no time.
constexpr int64_t FILETIME_LAST = 265046774399LL * FILETIME_PER_SECOND;
// now - then > limit, without overflow for any two values.
inline bool fileTimeAfter(int64_t now, int64_t then, int64_t limit) {
    return now > then && static_cast<uint64_t>(now) - static_cast<uint64_t>(then) > static_cast<uint64_t>(limit);
}
// "%d-%02d-%02d %02d:%02d:%02d" of a FILETIME, without any time-zone change.
std::string fileTimeText(int64_t ft);
