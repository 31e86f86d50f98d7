#pragma once
// An event on eventfd, manual or auto reset, that can be waited on together
// with a socket or terminal descriptor.
#include <poll.h>

class VDEvent {
public:
    explicit VDEvent(bool manualReset, bool initiallySet = false);
    ~VDEvent();
    VDEvent(const VDEvent&) = delete;
    VDEvent& operator=(const VDEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // True when the event was set within timeoutMs (-1: no limit). An
    // auto-reset event is consumed by the wait that sees it.
    bool Wait(int timeoutMs);
    int Fd() const { return fd_; }

    enum WaitResult { Timeout, Signalled, Ready };
    // Waits for this event or for `events` on `fd`; the event wins a tie.
    WaitResult WaitWith(int fd, short events, int timeoutMs);
    // Same, for several descriptors; `fds[i].revents` tell which are ready.
    WaitResult WaitWith(pollfd* fds, int count, int timeoutMs);

private:
    bool consume();  // for auto reset: takes the signal if it is there

    int fd_;
    bool manual_;
};
