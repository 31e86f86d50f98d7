#include "app/Dispatcher.h"

#include <algorithm>
#include <cstdio>

namespace {
// A takeover looks like a NAT rebinding; one line lets an operator tell them
// apart. Empty when the DTU was off line or stays where it was.
std::string moveLine(const _tagDTU& d, const VDIPAddress& to) {
    if (!d.online || d.addr == to) return {};
    return std::string("DTU ") + d.devNo + " moved from " + d.addr.ToText() + " to " + to.ToText() + "\n";
}
void report(const std::string& line) {
    if (line.empty()) return;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}
}  // namespace

void Dispatcher::setPropForm(std::shared_ptr<MgmtChannel> channel) {
    std::lock_guard<std::mutex> lk(propLock_);
    propForm_ = std::move(channel);
}

bool Dispatcher::fromRelay(const VDIPAddress& from, bool relayStream) const {
    return relayStream || (net_.relayAddr.Port() != 0 && from == net_.relayAddr);
}

bool Dispatcher::hasPropForm() {
    std::lock_guard<std::mutex> lk(propLock_);
    return propForm_ != nullptr;
}

void Dispatcher::dispatchPacket(const VDIPAddress& from, const uint8_t* data, uint32_t len, bool relayStream,
                                bool hold) {
    LinkPacket p;
    if (parseLinkPacket(data, len, p) != Parsed::Complete) return;
    const int mode = net_.netMode;
    const bool relayType = p.type == RelayLogonAnswer || p.type == RelayDtuState || p.type == RelayDtuData;
    if (relayType && !fromRelay(from, relayStream)) return;
    switch (p.type) {
    case DtuLogon:
        if (mode != 2) onDtuLogon(from, p, len);
        return;
    case DtuData:
        onDtuData(from, p, len, hold);
        return;
    case RelayLogonAnswer: {
        RelayLogonAnswerPkt a;
        if (mode != 0 && parseRelayLogonAnswer(data, len, a) == Parsed::Complete) relay_.onLogonAnswer(a);
        return;
    }
    case RelayDtuState:
        if (mode != 0) onRelayDtuState(data, len);
        return;
    case RelayDtuData:
        if (mode == 2) onDtuData(from, p, len, hold);
        return;
    default:
        onMgmtResponse(p, len);
    }
}

void Dispatcher::onMgmtResponse(const LinkPacket& p, uint32_t len) {
    // An answer for the DTU the properties dialog shows.
    std::shared_ptr<MgmtChannel> ch;
    {
        std::lock_guard<std::mutex> lk(propLock_);
        ch = propForm_;
    }
    if (!ch) return;
    {
        RegGuard g(reg_.mutex());
        Row* row = reg_.row(g, ch->dtu);
        if (!row || p.devNo != row->dtu->devNo) return;
        row->showRx(row->dtu->rxBytes += len);
    }
    ch->onMgmtResponse(p.body, static_cast<uint32_t>(p.bodyLen));
}

void Dispatcher::onDtuLogon(const VDIPAddress& from, const LinkPacket& p, uint32_t len) {
    std::string moved;
    {
        RegGuard g(reg_.mutex());
        _tagDTU* d = reg_.findDtu(g, p.devNo);
        if (!d) return;
        d->lastLogon = clock_.localFileTime();
        moved = moveLine(*d, from);
        d->addr = from;
        d->rxBytes += len;
        d->online = true;
    }
    report(moved);  // not under the lock: stderr may block
}

void Dispatcher::onDtuData(const VDIPAddress& from, const LinkPacket& p, uint32_t len, bool hold) {
    std::shared_ptr<IVirtualPort> port;
    int portNo = 0;
    {
        RegGuard g(reg_.mutex());
        _tagDTU* d = reg_.findDtu(g, p.devNo);
        if (!d) return;
        d->rxBytes += len;
        if (!d->online) return;
        d->lastLogon = clock_.localFileTime();
        if (!d->selected) return;
        if (net_.netMode != 2 && !(d->addr == from)) return;
        portNo = d->portNo;
        port = reg_.port(g, portNo).vsPortAx;
    }
    if (!port || p.bodyLen == 0) return;
    const int n = static_cast<int>(p.bodyLen);
    const int taken = hold ? port->WriteHeld(p.body, n) : port->Write(p.body, n);
    // The serial log shows what the port took, not a datagram it dropped.
    if (taken > 0) tapSerial(net_.tap, portNo, TapDir::Rx, p.body, p.bodyLen);
    if (!hold) return;
    std::lock_guard<std::mutex> lk(heldLock_);
    if (std::find(held_.begin(), held_.end(), port) == held_.end()) held_.push_back(std::move(port));
}

void Dispatcher::endBatch() {
    std::vector<std::shared_ptr<IVirtualPort>> ports;
    {
        std::lock_guard<std::mutex> lk(heldLock_);
        ports.swap(held_);
    }
    // Outside the lock: a flush may write a line to a stderr that blocks.
    for (const auto& port : ports) port->Flush();
}

void Dispatcher::onRelayDtuState(const uint8_t* data, uint32_t len) {
    RelayDtuStatePkt st;
    if (parseRelayDtuState(data, len, st) != Parsed::Complete) return;
    uint8_t connect[RELAY_DTU_HEADER];
    VDIPAddress dtuAddr;
    std::string moved;
    bool fastRelay = false;
    {
        RegGuard g(reg_.mutex());
        _tagDTU* d = reg_.findDtu(g, st.devNo);
        if (!d) return;
        if (st.offline()) {
            d->addr = VDIPAddress();
            if (st.lastLogon > 0 && st.lastLogon <= FILETIME_LAST) d->lastLogon = st.lastLogon;
            d->online = false;
            return;
        }
        d->lastLogon = clock_.localFileTime();
        moved = moveLine(*d, st.addr());
        d->addr = st.addr();
        const int mode = net_.netMode;
        if (mode == 2) d->online = true;
        fastRelay = mode == 1;
        if (fastRelay) {
            std::string user, pwd;
            net_.credentials(user, pwd);
            encodeRelayDtuHeader(connect, RelayConnect, user, pwd, d->devNo);
            dtuAddr = d->addr;
        }
    }
    report(moved);
    if (!fastRelay) return;
    // Fast Relay: ask the relay to connect the DTU, and open our side of the
    // path with a one-byte datagram straight to it.
    net_.sendToRelay(connect, RELAY_DTU_HEADER);
    if (net_.relayRefused) return;
    if (auto s = net_.socket()) s->SendTo(dtuAddr, connect, 1);
}
