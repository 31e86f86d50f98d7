#include "tools/DtuSim.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "link/LinkProtocol.h"

DtuSim::DtuSim(DtuSimOptions o) : o_(std::move(o)), target_(o_.peer) {
    cfg_.baudRate = o_.baudRate;
    cfg_.setHostText(o_.hostAddr);
    cfg_.maxPacketLen = o_.maxPacketLen;
    for (size_t i = 0; i < sizeof cfg_.rest; ++i) cfg_.rest[i] = static_cast<uint8_t>(58 + i);  // recognisable filler
}

DtuSim::~DtuSim() { sock_.Stop(); }

bool DtuSim::start(int timeoutMs) {
    sock_.link = this;
    sock_.localAddr = VDIPAddress(0u, o_.bindPort);
    sock_.Start();
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return opened_; });
}

void DtuSim::OnOpen(VDAsyncSocket* s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    std::lock_guard<std::mutex> lk(m_);
    if (getsockname(s->Handle(), reinterpret_cast<sockaddr*>(&sa), &len) == 0) port_ = ntohs(sa.sin_port);
    opened_ = true;
    cv_.notify_all();
}

VDIPAddress DtuSim::target() const {
    std::lock_guard<std::mutex> lk(m_);
    return target_;
}

void DtuSim::logon() {
    std::vector<uint8_t> p = encodeLinkPacket(o_.devNo, DtuLogon);
    sock_.SendTo(target(), p.data(), static_cast<int>(p.size()));
}

void DtuSim::sendData(const uint8_t* data, size_t len, bool withHeader) {
    std::vector<uint8_t> p = withHeader ? encodeLinkPacket(o_.devNo, DtuData, data, len)
                                        : std::vector<uint8_t>(data, data + len);
    sock_.SendTo(target(), p.data(), static_cast<int>(p.size()));
}

void DtuSim::answer(uint8_t type, const uint8_t* payload, size_t len) {
    std::vector<uint8_t> p = encodeLinkPacket(o_.devNo, static_cast<uint8_t>(type | ANSWER_FLAG), payload, len);
    sock_.SendTo(target(), p.data(), static_cast<int>(p.size()));
}

void DtuSim::gotData(const uint8_t* p, size_t len) {
    {
        std::lock_guard<std::mutex> lk(m_);
        data_.insert(data_.end(), p, p + len);
        ++packets_;
    }
    cv_.notify_all();
    if (onData) onData(p, len);
    if (o_.echo) echoes_.push_back(encodeLinkPacket(o_.devNo, DtuData, p, len));
}

void DtuSim::OnBatchEnd(VDAsyncSocket*) {
    if (echoes_.empty()) return;
    const VDIPAddress to = target();
    std::vector<SendItem> items;
    items.reserve(echoes_.size());
    for (const auto& e : echoes_) items.push_back({to, e.data(), static_cast<int>(e.size())});
    size_t sent = static_cast<size_t>(std::max(0, sock_.SendBatch(items.data(), static_cast<int>(items.size()))));
    for (size_t i = sent; i < items.size(); ++i) sock_.SendTo(to, items[i].data, items[i].len);
    echoes_.clear();
}

void DtuSim::OnReceive(VDAsyncSocket*, const VDIPAddress*, const uint8_t* p, uint32_t len) {
    if (len <= 1) {  // the manager's one-byte hello of a Fast Relay connect
        std::lock_guard<std::mutex> lk(m_);
        ++hellos_;
        return;
    }
    if (o_.bareIn) return gotData(p, len);
    LinkPacket pkt;
    if (parseLinkPacket(p, len, pkt) != Parsed::Complete || pkt.devNo != o_.devNo) return;
    switch (pkt.type) {
    case DtuData:
        gotData(pkt.body, pkt.bodyLen);
        break;
    case DtuRestart: {
        std::lock_guard<std::mutex> lk(m_);
        ++restarts_;
        break;
    }
    case DtuGetState: {
        DtuStatePkt st = makeDtuState(o_.rssi);
        answer(DtuGetState, st.raw, sizeof st.raw);
        break;
    }
    case DtuGetConfig: {
        uint8_t cfg[DTU_CONFIG_SIZE];
        {
            std::lock_guard<std::mutex> lk(m_);
            encodeDtuConfig(cfg, cfg_);
        }
        answer(DtuGetConfig, cfg, sizeof cfg);
        break;
    }
    case DtuSetConfig: {
        DtuConfig got;
        uint8_t ok = parseDtuConfig(pkt.body, pkt.bodyLen, got) == Parsed::Complete ? 1 : 0;
        if (ok) {
            std::lock_guard<std::mutex> lk(m_);
            cfg_ = got;
        }
        answer(DtuSetConfig, &ok, 1);
        break;
    }
    case RelayToDtuConnect: {
        VDIPAddress manager;
        if (parseRelayToDtuConnect(p, len, manager) == Parsed::Complete) {
            {
                std::lock_guard<std::mutex> lk(m_);
                target_ = manager;
            }
            logon();
        }
        break;
    }
    default:
        break;
    }
    if (o_.restartsLogon && pkt.type == DtuRestart) logon();
}

std::vector<uint8_t> DtuSim::data() const {
    std::lock_guard<std::mutex> lk(m_);
    return data_;
}

size_t DtuSim::packetsReceived() const {
    std::lock_guard<std::mutex> lk(m_);
    return packets_;
}

bool DtuSim::waitData(size_t bytes, int timeoutMs) const {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return data_.size() >= bytes; });
}

int DtuSim::hellos() const {
    std::lock_guard<std::mutex> lk(m_);
    return hellos_;
}

int DtuSim::restarts() const {
    std::lock_guard<std::mutex> lk(m_);
    return restarts_;
}

std::vector<uint8_t> DtuSim::config() const {
    std::vector<uint8_t> out(DTU_CONFIG_SIZE);
    std::lock_guard<std::mutex> lk(m_);
    encodeDtuConfig(out.data(), cfg_);
    return out;
}
