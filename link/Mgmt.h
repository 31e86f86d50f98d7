#pragma once
// The management exchange with one DTU while its properties dialog is open:
// the window thread sends a request and polls; the socket thread hands over
// the answer. Held by shared_ptr so a delivery in progress keeps it alive
// when the dialog closes.
#include <atomic>
#include <cstdint>
#include <cstring>

constexpr int MGMT_BUF_SIZE = 1400;

class MgmtChannel {
public:
    explicit MgmtChannel(uint64_t shown) : dtu(shown) {}
    const uint64_t dtu;  // id of the DTU the dialog shows

    void begin() { awaiting.store(true, std::memory_order_release); }
    bool waiting() const { return awaiting.load(std::memory_order_acquire); }
    // Gives up the wait; true when it was still running (a time-out).
    bool cancel() { return awaiting.exchange(false, std::memory_order_acq_rel); }

    // Socket thread. Only a running wait takes the answer; a payload longer
    // than the buffer is cut to it but keeps its real length, so that the
    // length checks of the commands still refuse it.
    void onMgmtResponse(const uint8_t* payload, uint32_t length) {
        if (!awaiting.load(std::memory_order_acquire)) return;
        uint32_t n = length < MGMT_BUF_SIZE ? length : MGMT_BUF_SIZE;
        std::memcpy(ioBuf, payload, n);
        respLen = static_cast<int32_t>(length);
        awaiting.store(false, std::memory_order_release);
    }

    uint8_t ioBuf[MGMT_BUF_SIZE] = {};
    int32_t respLen = 0;

private:
    std::atomic<bool> awaiting{false};
};
