#pragma once
// Time as the manager reads it; tests bring a clock they control.
#include <cstdint>
#include <string>

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t tickMs() = 0;         // monotonic milliseconds
    virtual int64_t localFileTime() = 0;   // local wall-clock time, 100 ns since 1601-01-01
};

class SystemClock : public Clock {
public:
    uint64_t tickMs() override;
    int64_t localFileTime() override;
};

constexpr int64_t FILETIME_PER_SECOND = 10000000;
// "%d-%02d-%02d %02d:%02d:%02d" of a FILETIME, without any time-zone change.
std::string fileTimeText(int64_t ft);
