#include "tools/DtuSim.h"

#include <sys/socket.h>

#include <chrono>
#include <cstring>

#include "link/LinkProtocol.h"
#include "link/Mgmt.h"

DtuSim::DtuSim(DtuSimOptions o) : o_(std::move(o)), target_(o_.peer) {
    putU32(cfg_ + CFG_BAUD, o_.baudRate);
    std::strncpy(reinterpret_cast<char*>(cfg_ + CFG_HOST), o_.hostAddr.c_str(), CFG_HOST_SIZE - 1);
    putU16(cfg_ + CFG_MAXLEN, o_.maxPacketLen);
    for (int i = 58; i < DTU_CONFIG_SIZE; ++i) cfg_[i] = static_cast<uint8_t>(i);  // recognisable filler
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
    uint8_t p[LINK_HEADER_SIZE] = {};
    putDevNo(p, o_.devNo.c_str());
    p[TYPE_OFFSET] = DtuLogon;
    sock_.SendTo(target(), p, sizeof p);
}

void DtuSim::sendData(const uint8_t* data, size_t len, bool withHeader) {
    std::vector<uint8_t> p(withHeader ? LINK_HEADER_SIZE : 0);
    if (withHeader) {
        putDevNo(p.data(), o_.devNo.c_str());
        p[TYPE_OFFSET] = DtuData;
    }
    p.insert(p.end(), data, data + len);
    sock_.SendTo(target(), p.data(), static_cast<int>(p.size()));
}

void DtuSim::answer(uint8_t type, const uint8_t* payload, size_t len) {
    std::vector<uint8_t> p(LINK_HEADER_SIZE);
    putDevNo(p.data(), o_.devNo.c_str());
    p[TYPE_OFFSET] = static_cast<uint8_t>(type | ANSWER_FLAG);
    p.insert(p.end(), payload, payload + len);
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
    if (o_.echo) sendData(p, len);
}

void DtuSim::OnReceive(VDAsyncSocket*, const VDIPAddress*, const uint8_t* p, uint32_t len) {
    if (len <= 1) {  // the manager's one-byte hello of a Fast Relay connect
        std::lock_guard<std::mutex> lk(m_);
        ++hellos_;
        return;
    }
    if (o_.bareIn) return gotData(p, len);
    std::string devNo;
    if (len < LINK_HEADER_SIZE || !headerDevNo(p, devNo) || devNo != o_.devNo) return;
    const uint8_t* body = p + LINK_HEADER_SIZE;
    const size_t bodyLen = len - LINK_HEADER_SIZE;
    switch (p[TYPE_OFFSET]) {
    case DtuData:
        gotData(body, bodyLen);
        break;
    case DtuRestart: {
        std::lock_guard<std::mutex> lk(m_);
        ++restarts_;
        break;
    }
    case DtuGetState: {
        uint8_t st[DTU_STATE_SIZE] = {};
        st[71] = o_.rssi;
        answer(DtuGetState, st, sizeof st);
        break;
    }
    case DtuGetConfig: {
        uint8_t cfg[DTU_CONFIG_SIZE];
        {
            std::lock_guard<std::mutex> lk(m_);
            std::memcpy(cfg, cfg_, sizeof cfg);
        }
        answer(DtuGetConfig, cfg, sizeof cfg);
        break;
    }
    case DtuSetConfig: {
        uint8_t ok = bodyLen == DTU_CONFIG_SIZE ? 1 : 0;
        if (ok) {
            std::lock_guard<std::mutex> lk(m_);
            std::memcpy(cfg_, body, DTU_CONFIG_SIZE);
        }
        answer(DtuSetConfig, &ok, 1);
        break;
    }
    case RELAY_DTU_CONNECT:
        if (bodyLen >= 6) {
            {
                std::lock_guard<std::mutex> lk(m_);
                target_.SetFromWire(body);
            }
            logon();
        }
        break;
    default:
        break;
    }
    if (o_.restartsLogon && p[TYPE_OFFSET] == DtuRestart) logon();
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
    std::lock_guard<std::mutex> lk(m_);
    return {cfg_, cfg_ + DTU_CONFIG_SIZE};
}
