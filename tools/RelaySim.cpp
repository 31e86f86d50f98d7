#include "tools/RelaySim.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "net/Clock.h"
#include "link/LinkProtocol.h"
#include "net/VDEvent.h"

RelaySim::RelaySim(RelaySimOptions o) : o_(std::move(o)) {}

RelaySim::~RelaySim() { stop(); }

bool RelaySim::start(int timeoutMs) {
    VDIPAddress bindAddr;
    if (!bindAddr.Parse(o_.bindIp + ":" + std::to_string(o_.port))) return false;
    udp_ = std::make_unique<VDUDPSocket>();
    udp_->link = this;
    udp_->localAddr = bindAddr;
    udp_->Start();
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = bindAddr.ToSockaddr();
    if (bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listen_, 4) != 0) {
        stop();
        return false;
    }
    stopTcp_ = std::make_unique<VDEvent>(true);
    tcpThread_ = std::thread([this] { tcpLoop(); });
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!udp_->IsOpen() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return udp_->IsOpen();
}

void RelaySim::stop() {
    if (udp_) udp_->Stop();  // no more sends from its worker
    if (stopTcp_) stopTcp_->Set();
    if (tcpThread_.joinable()) tcpThread_.join();
    stopTcp_.reset();
    if (listen_ >= 0) close(listen_);
    listen_ = -1;
    closeClient(tcpClient_);
    udp_.reset();  // frees the port for a restart
    std::lock_guard<std::mutex> lk(m_);
    managerKnown_ = false;
}

void RelaySim::closeClient(int fd) {
    std::lock_guard<std::mutex> lk(tcpMu_);
    if (fd < 0 || tcpClient_ != fd) return;
    close(fd);
    tcpClient_ = -1;
}

void RelaySim::tcpLoop() {
    uint8_t buf[4096];
    for (;;) {
        int client = tcpClient_;
        pollfd fds[2] = {{listen_, POLLIN, 0}, {client, POLLIN, 0}};
        if (stopTcp_->WaitWith(fds, 2, -1) == VDEvent::Signalled) return;
        if (fds[0].revents & POLLIN) {
            int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::lock_guard<std::mutex> lk(tcpMu_);
                if (tcpClient_ >= 0) close(tcpClient_);
                tcpClient_ = c;
            }
        }
        if (client >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0) {
                closeClient(client);
                continue;
            }
            // The stream is not framed: each receive is taken as one packet.
            fromManager(Via::Tcp, VDIPAddress(), buf, static_cast<uint32_t>(n));
        }
    }
}

void RelaySim::OnReceive(VDAsyncSocket*, const VDIPAddress* from, const uint8_t* p, uint32_t len) {
    RelayPacket r;
    parseRelayPacket(p, len, r);
    if (len >= CREDENTIAL_SIZE && r.type >= RelayLogon && r.type <= RelayData)
        fromManager(Via::Udp, *from, p, len);
    else
        fromDtu(*from, p, len);
}

void RelaySim::toManager(const std::vector<uint8_t>& p) {
    VDIPAddress to;
    Via via;
    {
        std::lock_guard<std::mutex> lk(m_);
        if (!managerKnown_) return;
        to = manager_;
        via = managerVia_;
    }
    if (via == Via::Tcp) {
        std::lock_guard<std::mutex> lk(tcpMu_);  // the descriptor is not closed under a send
        if (tcpClient_ >= 0) send(tcpClient_, p.data(), p.size(), MSG_NOSIGNAL);
    } else if (udp_) {
        udp_->SendTo(to, p.data(), static_cast<int>(p.size()));
    }
}

std::vector<uint8_t> RelaySim::state(const std::string& devNo) {
    RelayDtuStatePkt st;
    st.devNo = devNo;
    auto it = dtus_.find(devNo);
    if (it != dtus_.end()) {
        std::memcpy(st.wire, it->second.addr.sin_addr, 4);
        uint16_t port = it->second.addr.Port();
        st.wire[4] = static_cast<uint8_t>(port >> 8);
        st.wire[5] = static_cast<uint8_t>(port & 0xFF);
        st.lastLogon = it->second.lastLogon;
    }
    return encodeRelayDtuState(st);
}

void RelaySim::fromManager(Via via, const VDIPAddress& from, const uint8_t* p, uint32_t len) {
    RelayPacket r;
    if (len < CREDENTIAL_SIZE) return;
    Parsed parsed = parseRelayPacket(p, len, r);
    std::unique_lock<std::mutex> lk(m_);
    if (r.user != o_.user || r.pwd != o_.password) {
        ++counts_.rejected;
        return;
    }
    managerKnown_ = true;
    managerVia_ = via;
    if (via == Via::Udp) manager_ = from;
    if (parsed != Parsed::Complete) return;
    const std::string devNo(r.devNo);
    if (verbose) std::fprintf(stderr, "vsp-relaysim: manager packet 0x%02x %s\n", r.type, devNo.c_str());
    std::vector<uint8_t> out;
    switch (r.type) {
    case RelayLogon:
        ++counts_.logons;
        out = encodeRelayLogonAnswer({o_.version, o_.keepAlive});
        break;
    case RelayQuery:
        ++counts_.queries;
        out = state(devNo);
        break;
    case RelayConnect: {
        ++counts_.connects;
        auto it = dtus_.find(devNo);
        if (it == dtus_.end() || via != Via::Udp) return;
        // Tell the DTU where the manager is; it then logs on there directly.
        std::vector<uint8_t> go = encodeRelayToDtuConnect(devNo, manager_);
        if (udp_) udp_->SendTo(it->second.addr, go.data(), static_cast<int>(go.size()));
        return;
    }
    case RelayData: {
        ++counts_.data;
        auto it = dtus_.find(devNo);
        if (it == dtus_.end()) return;
        std::vector<uint8_t> fwd = encodeLinkPacket(devNo, DtuData, r.body, r.bodyLen);
        if (udp_) udp_->SendTo(it->second.addr, fwd.data(), static_cast<int>(fwd.size()));
        return;
    }
    default:
        return;
    }
    lk.unlock();
    toManager(out);
}

void RelaySim::fromDtu(const VDIPAddress& from, const uint8_t* p, uint32_t len) {
    LinkPacket pkt;
    if (parseLinkPacket(p, len, pkt) != Parsed::Complete) return;
    const std::string devNo(pkt.devNo);
    std::vector<uint8_t> out;
    {
        std::lock_guard<std::mutex> lk(m_);
        if (pkt.type == DtuLogon) {
            ++counts_.dtuLogons;
            SystemClock clock;
            dtus_[devNo] = {from, clock.localFileTime()};
            if (!o_.pushStates || !managerKnown_) return;
            out = state(devNo);
        } else if (pkt.type == DtuData) {
            ++counts_.dtuData;
            if (!dtus_.count(devNo)) return;
            out = encodeLinkPacket(devNo, RelayDtuData, pkt.body, pkt.bodyLen);
        } else {
            return;
        }
    }
    toManager(out);
}

RelaySim::Counts RelaySim::counts() const {
    std::lock_guard<std::mutex> lk(m_);
    return counts_;
}

VDIPAddress RelaySim::lastManager() const {
    std::lock_guard<std::mutex> lk(m_);
    return manager_;
}
