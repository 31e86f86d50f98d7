#pragma once
// Stream client to the relay; reconnects whenever the relay closes or refuses.
#include <atomic>

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
    bool connect();  // false: stopped
    bool receive();  // false: stopped
    std::atomic<bool> connected_{false};
};
