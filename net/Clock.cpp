#include "net/Clock.h"

#include <cstdio>
#include <ctime>

namespace {
constexpr int64_t EPOCH_DIFF_SECONDS = 11644473600LL;  // 1601-01-01 to 1970-01-01
}

uint64_t SystemClock::tickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t SystemClock::tickUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int64_t SystemClock::localFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // The zone offset is looked up once per second and thread, not per
    // packet: the lookup takes a lock and costs far more than the clock.
    thread_local time_t offsetFor = -1;
    thread_local long offset = 0;
    if (ts.tv_sec != offsetFor) {
        tm local{};
        localtime_r(&ts.tv_sec, &local);
        offset = local.tm_gmtoff;
        offsetFor = ts.tv_sec;
    }
    int64_t secs = static_cast<int64_t>(ts.tv_sec) + offset + EPOCH_DIFF_SECONDS;
    return secs * FILETIME_PER_SECOND + ts.tv_nsec / 100;
}

std::string fileTimeText(int64_t ft) {
    int64_t secs = ft / FILETIME_PER_SECOND;
    if (ft < 0 && ft % FILETIME_PER_SECOND) --secs;
    time_t t = static_cast<time_t>(secs - EPOCH_DIFF_SECONDS);
    tm f{};
    gmtime_r(&t, &f);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
                  f.tm_hour, f.tm_min, f.tm_sec);
    return buf;
}
