#pragma once
// The network settings and the one socket: made through a factory, so that
// tests can put a socket in memory in its place, and shared-owned, so a
// reader still sending keeps a stopped socket alive until it lets go.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/VDAsyncSocket.h"

struct SocketSpec {
    bool tcp = false;        // the stream to the relay (Relay mode without a UDP port)
    VDIPAddress local;       // 0.0.0.0 and the UDP port
    VDIPAddress remote;      // the relay, for the stream
};
using SocketFactory = std::function<std::shared_ptr<VDAsyncSocket>(const SocketSpec&)>;
// Host name to IPv4 address; false when it does not resolve.
using NameLookup = std::function<bool(const std::string& host, uint8_t ip[4])>;

std::shared_ptr<VDAsyncSocket> makeSystemSocket(const SocketSpec& spec);
bool systemLookup(const std::string& host, uint8_t ip[4]);

class Network {
public:
    Network(SocketFactory make, TCommLink& link) : make_(std::move(make)), link_(link) {}

    void startNetwork();  // window thread
    void stopNetwork();   // safe twice
    std::shared_ptr<VDAsyncSocket> socket() const;  // any thread
    // Nothing goes to a relay that is too new for us.
    void sendToRelay(const uint8_t* data, int len);
    void credentials(std::string& user, std::string& pwd) const;  // any thread
    void setCredentials(const std::string& user, const std::string& pwd);

    uint16_t udpPort = 21012;
    uint16_t tcpPort = 21012;
    std::atomic<int> netMode{0};
    uint8_t relayIp[4] = {0, 0, 0, 0};
    VDIPAddress relayAddr;  // set at start-up, before any reader runs
    // Raised when the mode or the relay credentials change, so that port
    // readers prepare their packet header again before the next burst.
    std::atomic<uint32_t> headerGen{0};
    std::atomic<bool> relayRefused{false};
    TrafficTap* tap = nullptr;  // handed to every socket made; outlives them
    bool netStarted = false;

private:
    SocketFactory make_;
    TCommLink& link_;
    mutable std::mutex sockLock_;
    std::shared_ptr<VDAsyncSocket> socket_;
    mutable std::mutex credLock_;
    std::string usrName_, usrPwd_;
};
