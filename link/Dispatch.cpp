// Receive dispatch: runs on the socket's worker thread for every packet.
#include <cstring>

#include "app/Manager.h"
#include "link/LinkProtocol.h"

void Manager::OnReceive(VDAsyncSocket*, const VDIPAddress* from, const uint8_t* data, uint32_t len) {
    dispatchPacket(*from, data, len);
}

void Manager::dispatchPacket(const VDIPAddress& from, const uint8_t* data, uint32_t len) {
    if (len < LINK_HEADER_SIZE || !std::memchr(data, 0, 15)) return;
    const int mode = netMode;
    switch (data[TYPE_OFFSET]) {
    case DtuLogon:
        if (mode != 2) onDtuLogon(from, data, len);
        return;
    case DtuData:
        onDtuData(from, data, len);
        return;
    case RelayLogonAnswer:
        if (mode != 0) onRelayLogonAnswer(data, len);
        return;
    case RelayDtuState:
        if (mode != 0) onRelayDtuState(data, len);
        return;
    case RelayDtuData:
        if (mode == 2) onDtuData(from, data, len);
        return;
    default:
        break;
    }
    // A management response, for the DTU the properties dialog shows.
    std::shared_ptr<MgmtChannel> ch;
    {
        std::lock_guard<std::mutex> lk(propLock_);
        ch = propForm_;
    }
    if (!ch) return;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        _tagDTU* dtu = ch->dtu;
        if (std::strcmp(dtu->devNo, reinterpret_cast<const char*>(data)) != 0) return;
        uint32_t rx = dtu->rxBytes += len;
        if (dtu->listItem) dtu->listItem->cells[ColRx] = std::to_string(rx);
    }
    ch->onMgmtResponse(data + LINK_HEADER_SIZE, len - LINK_HEADER_SIZE);
}

void Manager::onDtuLogon(const VDIPAddress& from, const uint8_t* p, uint32_t len) {
    std::lock_guard<std::mutex> lk(regLock_);
    _tagDTU* d = findDtu(reinterpret_cast<const char*>(p));
    if (!d) return;
    d->lastLogon = clock_.localFileTime();
    d->addr = from;
    d->rxBytes += len;
    d->online = true;
}

void Manager::onDtuData(const VDIPAddress& from, const uint8_t* p, uint32_t len) {
    std::shared_ptr<IVirtualPort> port;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        _tagDTU* d = findDtu(reinterpret_cast<const char*>(p));
        if (!d) return;
        d->rxBytes += len;
        if (!d->online) return;
        d->lastLogon = clock_.localFileTime();
        if (!d->selected) return;
        if (netMode != 2 && !(d->addr == from)) return;
        port = vsp_[static_cast<size_t>(d->portNo)].vsPortAx;
    }
    if (port && len > LINK_HEADER_SIZE)
        port->Write(p + LINK_HEADER_SIZE, static_cast<int>(len - LINK_HEADER_SIZE));
}

void Manager::onRelayLogonAnswer(const uint8_t* p, uint32_t len) {
    if (len < 20) return;
    serverVersion = getU16(p + 16);
    int v = getU16(p + 18);
    if (v == 0) return;
    keepAliveTicks = (v - 10) / 3;
    logonOk = true;
}

void Manager::onRelayDtuState(const uint8_t* p, uint32_t len) {
    if (len < 30) return;
    uint8_t connect[RELAY_DTU_HEADER];
    VDIPAddress dtuAddr;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        _tagDTU* d = findDtu(reinterpret_cast<const char*>(p));
        if (!d) return;
        static const uint8_t zeros[6] = {};
        if (std::memcmp(p + 16, zeros, 4) == 0) {
            d->addr.SetFromWire(zeros);
            int64_t ft = static_cast<int64_t>(static_cast<uint64_t>(getU32(p + 22)) |
                                              (static_cast<uint64_t>(getU32(p + 26)) << 32));
            if (ft != 0) d->lastLogon = ft;
            d->online = false;
            return;
        }
        d->lastLogon = clock_.localFileTime();
        d->addr.SetFromWire(p + 16);
        if (netMode == 2) {
            d->online = true;
            return;
        }
        if (netMode != 1) return;
        buildCredentials(connect, RelayConnect, usrName, usrPwd);
        putDevNo(connect + CREDENTIAL_SIZE, d->devNo);
        dtuAddr = d->addr;
    }
    // Fast Relay: ask the relay to connect the DTU, and open our side of the
    // path with a one-byte datagram straight to it.
    sendToRelay(connect, RELAY_DTU_HEADER);
    if (relayRefused) return;
    if (auto s = socket()) s->SendTo(dtuAddr, connect, 1);
}
