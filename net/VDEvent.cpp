#include "net/VDEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

VDEvent::VDEvent(bool manualReset, bool initiallySet)
    : fd_(eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_(manualReset) {
    if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

VDEvent::~VDEvent() { close(fd_); }

void VDEvent::Set() {
    uint64_t one = 1;
    (void)!write(fd_, &one, sizeof one);
}

void VDEvent::Reset() {
    uint64_t v;
    (void)!read(fd_, &v, sizeof v);
}

bool VDEvent::IsSet() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool VDEvent::consume() {
    if (manual_) return IsSet();
    uint64_t v;
    return read(fd_, &v, sizeof v) == sizeof v;
}

bool VDEvent::Wait(int timeoutMs) { return WaitWith(nullptr, 0, timeoutMs) == Signalled; }

VDEvent::WaitResult VDEvent::WaitWith(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return WaitWith(&p, 1, timeoutMs);
}

VDEvent::WaitResult VDEvent::WaitWith(pollfd* fds, int count, int timeoutMs) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::vector<pollfd> all(static_cast<size_t>(count) + 1);
    all[0] = {fd_, POLLIN, 0};
    for (int i = 0; i < count; ++i) all[static_cast<size_t>(i) + 1] = fds[i];
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        for (auto& p : all) p.revents = 0;
        int n = poll(all.data(), all.size(), wait);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Timeout;
        if ((all[0].revents & POLLIN) && consume()) return Signalled;
        bool ready = false;
        for (int i = 0; i < count; ++i) {
            fds[i].revents = all[static_cast<size_t>(i) + 1].revents;
            ready = ready || fds[i].revents != 0;
        }
        if (ready) return Ready;
        if (wait == 0) return Timeout;  // another waiter took an auto-reset signal
    }
}
