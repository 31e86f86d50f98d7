#pragma once
// Opening and closing the virtual ports of the port table, each with its
// reader thread; what a reader asks of the rest of the manager is answered
// here.
#include <functional>
#include <memory>

#include "app/Network.h"
#include "app/Registry.h"
#include "net/Clock.h"
#include "vsp/PortReader.h"

using PortMaker = std::function<std::shared_ptr<IVirtualPort>()>;

class PortBridge : public ReaderHost {
public:
    PortBridge(Registry& reg, Network& net, Clock& clock, PortMaker makePort)
        : reg_(reg), net_(net), clock_(clock), makePort_(std::move(makePort)) {}

    // Window thread: only it opens and closes ports.
    bool openPort(int n, uint32_t netProto, uint32_t appProto, uint32_t serProto);
    void closePort(int n);
    bool portOpen(int n) const;
    bool portInUse(int n) const;  // another program has the port open
    uint32_t portSerProto(int n) const;
    bool portLineGap(int n) const;
    // Of every port, indexed by its number, in one look under the lock:
    // bursts at line speed, and the bytes a slow program left no room for.
    struct PortState {
        bool lineGap = false;
        uint64_t dropped = 0;
    };
    std::vector<PortState> portStates() const;
    void setLineGap(int n, bool on);
    // Why the last openPort failed, when a system call said so.
    SysError lastError() const { return lastError_; }

    uint32_t headerGen() const override { return net_.headerGen; }
    int linkMode() const override { return net_.netMode; }
    void relayCredentials(std::string& user, std::string& pwd) const override { net_.credentials(user, pwd); }
    bool relayRefused() const override { return net_.relayRefused; }
    VDIPAddress relayAddress() const override { return net_.relayAddr; }
    std::shared_ptr<VDAsyncSocket> socket() const override { return net_.socket(); }
    TrafficTap* tap() const override { return net_.tap; }
    void collectTargets(int port, bool firstOnly, int led, std::vector<ReaderTarget>& out) override;

private:
    Registry& reg_;
    Network& net_;
    Clock& clock_;
    PortMaker makePort_;
    SysError lastError_;
};
