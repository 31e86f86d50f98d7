// Start-up sequence, network start and stop, exit and shutdown.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "app/Manager.h"
#include "net/VDTCPCSocket.h"
#include "net/VDUDPSocket.h"

Manager::Manager(MessageSink& msg, Clock& clock, ManagerOptions opts)
    : cfgFileName(opts.cfgFileName), msg_(msg), clock_(clock), opts_(std::move(opts)) {
    inet_pton(AF_INET, opts_.relayBuiltinIp.c_str(), relayIp);
}

Manager::~Manager() { FormDestroy(); }

bool Manager::initNetwork() {
    char host[256] = {};
    if (gethostname(host, 255) != 0) {
        msg_.show("Error: gethostname()", "VAZevuvo VSP Manager", MsgIcon::Warning, MsgButtons::Ok);
        return false;
    }
    if (!opts_.relayHost.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* res = nullptr;
        if (getaddrinfo(opts_.relayHost.c_str(), nullptr, &hints, &res) == 0 && res) {
            auto* sa = reinterpret_cast<sockaddr_in*>(res->ai_addr);
            std::memcpy(relayIp, &sa->sin_addr, 4);
        }
        if (res) freeaddrinfo(res);
    }
    return true;
}

void Manager::FormCreate() {
    if (!initNetwork()) return terminate();
    if (loadConfig() != 0) return;
    if (!readSettings()) return;
    if (netMode != 0)
        relayAddr = VDIPAddress(relayIp[0], relayIp[1], relayIp[2], relayIp[3], udpPort != 0 ? udpPort : tcpPort);
    startNetwork();
    if (netMode == 0) {
        timerRuningEnabled = true;
    } else {
        statusText = "Connecting to server ...";
        sendRelayLogon();
        timerLogonTOEnabled = true;
    }
    if (!readPorts()) return;
    std::lock_guard<std::mutex> lk(regLock_);
    checkHook_ = true;
}

void Manager::startNetwork() {
    if (netStarted) return;
    std::shared_ptr<VDAsyncSocket> s;
    if (udpPort != 0) {
        s = std::make_shared<VDUDPSocket>();
    } else if (netMode == 2) {
        auto tcp = std::make_shared<VDTCPCSocket>();
        tcp->remoteAddr = relayAddr;
        s = tcp;
    }
    if (s) {
        s->link = this;
        s->localAddr = VDIPAddress(0u, udpPort);
        s->Start();
    }
    {
        std::lock_guard<std::mutex> lk(sockLock_);
        netSocket_ = s;
    }
    netStarted = true;
}

void Manager::stopNetwork() {
    if (!netStarted) return;
    std::shared_ptr<VDAsyncSocket> old;
    {
        std::lock_guard<std::mutex> lk(sockLock_);
        old.swap(netSocket_);
    }
    if (old) old->Stop();
    // The last reference, here or in a reader still sending, closes the
    // socket, so its UDP port is free for the next socket.
    netStarted = false;
}

std::shared_ptr<VDAsyncSocket> Manager::socket() const {
    std::lock_guard<std::mutex> lk(sockLock_);
    return netSocket_;
}

bool Manager::mnuExitClick() {
    for (int n = 0; n < PORT_COUNT; ++n) {
        if (portInUse(n) &&
            msg_.show("Are you sure you want delete all virtual serial ports?", "Warning", MsgIcon::Warning,
                      MsgButtons::YesNo) != MsgAnswer::Yes)
            return false;
    }
    terminate();
    return true;
}

void Manager::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    setPropForm(nullptr);
    for (int n = 0; n < PORT_COUNT; ++n) closePort(n);
    stopNetwork();
}

void Manager::setPropForm(std::shared_ptr<MgmtChannel> channel) {
    std::lock_guard<std::mutex> lk(propLock_);
    propForm_ = std::move(channel);
}
