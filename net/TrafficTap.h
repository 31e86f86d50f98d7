#pragma once
// Where the traffic monitor and the capture files listen: the sockets hand
// every datagram here, the port readers and the dispatch every serial chunk.
// While nobody listens, a caller pays one relaxed atomic load.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/VDIPAddress.h"

// Tx: towards the DTUs (sent, or read from the serial program);
// Rx: from them (received, or written to the serial program).
enum class TapDir : uint8_t { Tx, Rx };

class TrafficTap {
public:
    virtual ~TrafficTap() = default;
    bool listening() const { return listening_.load(std::memory_order_relaxed); }
    // `stream`: a chunk of the stream to the relay, not a datagram.
    virtual void datagram(TapDir dir, const VDIPAddress& local, const VDIPAddress& peer, bool stream,
                          const uint8_t* data, size_t len) = 0;
    virtual void serial(int port, TapDir dir, const uint8_t* data, size_t len) = 0;

protected:
    std::atomic<bool> listening_{false};
};

inline void tapSerial(TrafficTap* tap, int port, TapDir dir, const void* data, size_t len) {
    if (tap && tap->listening()) tap->serial(port, dir, static_cast<const uint8_t*>(data), len);
}
