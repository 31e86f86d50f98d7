#pragma once
// Sends the supervision's packets to the relay 1 ms apart, as relays want
// them, on a thread of its own: thousands of queries must never hold the
// window.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "app/Network.h"
#include "net/VDEvent.h"
#include "net/VDThread.h"

class RelayPacer {
public:
    explicit RelayPacer(Network& net);
    ~RelayPacer();
    RelayPacer(const RelayPacer&) = delete;
    RelayPacer& operator=(const RelayPacer&) = delete;

    // Takes the place of what still waits, in order.
    void post(std::vector<std::vector<uint8_t>> packets);
    // Ends the thread; what still waits is not sent. Safe twice.
    void stop();
    // True once nothing waits or is being sent (within the time-out).
    bool waitIdle(int timeoutMs);

private:
    static uint32_t entry(void* self);
    void run();

    Network& net_;
    std::mutex mu_;
    std::condition_variable idle_;
    std::deque<std::vector<uint8_t>> queue_;
    bool sending_ = false;
    VDEvent wake_{false};
    VDEvent stop_{true};
    VDThread thread_;
};
