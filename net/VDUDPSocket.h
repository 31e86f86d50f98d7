#pragma once
// Datagram endpoint bound to the configured local port; broadcast enabled.
#include <netinet/in.h>
#include <sys/socket.h>

#include <mutex>
#include <string>

#include "net/VDAsyncSocket.h"

class VDUDPSocket : public VDAsyncSocket {
public:
    ~VDUDPSocket() override;
    int SendTo(const VDIPAddress& to, const void* data, int len) override;
    int SendBatch(const SendItem* items, int count) override;
    void Close() override;
    std::string Describe() const override;

protected:
    void Run() override;

private:
    static constexpr int BATCH = 64;
    static constexpr int RCV_BUFFER = 4 << 20;
    bool drain();  // false when the socket failed and was closed
    void sizeReceiveBuffer();

    mutable std::mutex noteLock_;
    std::string note_;

    // One receive call takes up to BATCH datagrams.
    mmsghdr msgs_[BATCH];
    iovec iov_[BATCH];
    sockaddr_in from_[BATCH];
    uint8_t rx_[BATCH][RX_BUF_SIZE];
};
