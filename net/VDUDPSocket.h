#pragma once
// Datagram endpoint bound to the configured local port; broadcast enabled.
#include "net/VDAsyncSocket.h"

class VDUDPSocket : public VDAsyncSocket {
public:
    ~VDUDPSocket() override;
    int SendTo(const VDIPAddress& to, const void* data, int len) override;
    void Close() override;

protected:
    void Run() override;

private:
    bool drain();  // false when the socket failed and was closed
};
