#pragma once
// A simulated relay server, over UDP and TCP on one port number: checks the
// credential block of every manager packet, answers logons, keeps the DTUs
// that log on to it, answers queries, connects DTUs to the manager (Fast
// Relay) and carries data both ways (Relay).
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/VDUDPSocket.h"

struct RelaySimOptions {
    uint16_t port = 21012;      // UDP and TCP
    std::string bindIp = "0.0.0.0";
    std::string user, password;
    uint16_t version = 1;
    uint16_t keepAlive = 70;
    bool pushStates = true;     // tell a logged-on manager at once when a DTU logs on
};

class RelaySim : public TCommLink {
public:
    explicit RelaySim(RelaySimOptions o);
    ~RelaySim() override;
    bool start(int timeoutMs = 2000);
    void stop();

    // What it has seen, for tests and for the log.
    struct Counts {
        int logons = 0, queries = 0, connects = 0, data = 0, rejected = 0, dtuLogons = 0, dtuData = 0;
    };
    Counts counts() const;
    VDIPAddress lastManager() const;  // sender of the last manager packet over UDP
    bool managerOverTcp() const { return tcpClient_ >= 0; }
    void setVersion(uint16_t v) { o_.version = v; }
    void setKeepAlive(uint16_t v) { o_.keepAlive = v; }
    bool verbose = false;

    void OnOpen(VDAsyncSocket*) override {}
    void OnReceive(VDAsyncSocket*, const VDIPAddress* from, const uint8_t* p, uint32_t len) override;
    void OnClose(VDAsyncSocket*) override {}

private:
    struct Dtu {
        VDIPAddress addr;
        int64_t lastLogon = 0;
    };
    enum class Via { Udp, Tcp };
    void fromManager(Via via, const VDIPAddress& from, const uint8_t* p, uint32_t len);
    void fromDtu(const VDIPAddress& from, const uint8_t* p, uint32_t len);
    void toManager(const std::vector<uint8_t>& p);
    std::vector<uint8_t> state(const std::string& devNo);
    void tcpLoop();
    void closeClient(int fd);  // closes it if it is still the client

    RelaySimOptions o_;
    std::unique_ptr<VDUDPSocket> udp_;
    mutable std::mutex m_;
    std::map<std::string, Dtu> dtus_;
    Counts counts_;
    VDIPAddress manager_;
    bool managerKnown_ = false;
    Via managerVia_ = Via::Udp;
    int listen_ = -1;
    std::mutex tcpMu_;  // the client descriptor against sends from other threads
    std::atomic<int> tcpClient_{-1};
    std::thread tcpThread_;
    std::unique_ptr<class VDEvent> stopTcp_;
};
