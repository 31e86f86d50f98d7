#pragma once
// Stream client to the relay; reconnects whenever the relay closes or refuses.
#include <atomic>
#include <cstdint>

#include "net/VDAsyncSocket.h"

class VDTCPCSocket : public VDAsyncSocket {
public:
    ~VDTCPCSocket() override;
    // 0 while not connected; the destination is not used (the stream has one peer).
    int SendTo(const VDIPAddress& to, const void* data, int len) override;
    void Close() override;
    bool Connected() const { return connected_; }
    bool RelayStream() const override { return true; }

    VDIPAddress remoteAddr;

protected:
    void Run() override;

private:
    // The stream's own end for the capture: its port; the address is left
    // to the capture, which knows the route.
    VDIPAddress streamLocal() const;
    void noteLocalPort();
    bool connect();  // false: stopped
    bool receive();  // false: stopped
    std::atomic<bool> connected_{false};
    std::atomic<uint16_t> localPort_{0};
};
