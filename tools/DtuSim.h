#pragma once
// A simulated DTU: logs on to a manager (or to a relay) over UDP, sends and
// receives serial data, answers the management requests.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/LinkProtocol.h"
#include "net/VDUDPSocket.h"

struct DtuSimOptions {
    std::string devNo;
    // The manager, or a relay: the relay may send the DTU on to the manager.
    VDIPAddress peer;
    uint16_t bindPort = 0;     // 0: any free port
    bool echo = false;         // send every data packet back
    bool bareIn = false;       // data from the manager comes without the link header
    uint8_t rssi = 20;
    uint32_t baudRate = 9600;
    std::string hostAddr = "127.0.0.1:21012";
    uint16_t maxPacketLen = 1024;
    bool restartsLogon = true;  // a restart request is followed by a new logon
};

class DtuSim : public TCommLink {
public:
    explicit DtuSim(DtuSimOptions o);
    ~DtuSim() override;
    bool start(int timeoutMs = 2000);  // false: the port could not be bound in time
    uint16_t localPort() const { return port_; }

    void logon();
    void sendData(const uint8_t* data, size_t len, bool withHeader = true);

    // Data bytes received so far (payloads, in arrival order).
    std::vector<uint8_t> data() const;
    size_t packetsReceived() const;
    bool waitData(size_t bytes, int timeoutMs) const;
    int restarts() const;
    int hellos() const;  // one-byte datagrams: the manager opening a Fast Relay path
    std::vector<uint8_t> config() const;  // the 100 bytes it keeps
    VDIPAddress target() const;           // where its packets go now
    std::function<void(const uint8_t*, size_t)> onData;  // called on the socket thread

    void OnOpen(VDAsyncSocket*) override;
    void OnReceive(VDAsyncSocket*, const VDIPAddress* from, const uint8_t* p, uint32_t len) override;
    void OnClose(VDAsyncSocket*) override {}
    // The echoes of one receive call leave together, as a busy DTU's would.
    void OnBatchEnd(VDAsyncSocket*) override;

private:
    void answer(uint8_t type, const uint8_t* payload, size_t len);
    void gotData(const uint8_t* p, size_t len);

    DtuSimOptions o_;
    VDUDPSocket sock_;
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    bool opened_ = false;
    uint16_t port_ = 0;
    VDIPAddress target_;
    std::vector<uint8_t> data_;
    size_t packets_ = 0;
    int restarts_ = 0;
    int hellos_ = 0;
    DtuConfig cfg_;
    std::vector<std::vector<uint8_t>> echoes_;  // socket thread only
};
