// The reader thread of one port: serial data cut into bursts or controller
// frames and sent to the port's DTUs through the one network socket.
#include <algorithm>
#include <cstring>
#include <vector>

#include "app/Manager.h"
#include "link/LinkProtocol.h"

namespace {

constexpr int SILENCE_MS = 50;
constexpr int BURST_LIMIT = 1200;
constexpr int RETRY_PAUSE_MS = 5;

struct Target {
    std::shared_ptr<_tagDTU> dtu;
    VDIPAddress addr;
    char devNo[DEVNO_MAX + 1];
};

class Reader {
public:
    Reader(Manager& m, _tagVSP& rec, Clock& clock, std::shared_ptr<IVirtualPort> port)
        : m_(m), rec_(rec), clock_(clock), port_(std::move(port)) {
        targets_.reserve(16);
    }
    void run();

private:
    void prepare();
    void pass();
    void send();
    void sendBurst(uint32_t proto);
    void sendFrame();
    // Eligible DTUs: selected and on line; with `led` < 255 only the first that serves it.
    void collect(bool firstOnly, int led);
    void transmit(const Target& t, uint8_t* pkt, int len);
    void consumeFrame();
    int frameCapacity() const { return FRAME_BUF_SIZE - room_; }

    Manager& m_;
    _tagVSP& rec_;
    Clock& clock_;
    std::shared_ptr<IVirtualPort> port_;
    uint8_t* buf_ = rec_.frameBuf;
    int room_ = 0;
    int mode_ = 0;
    uint32_t gen_ = 0;
    int fill_ = 0;
    int frameLen_ = 0;
    bool flush_ = false;
    uint64_t lastRx_ = 0;
    std::vector<Target> targets_;
    uint8_t copy_[FRAME_BUF_SIZE];
};

void Reader::prepare() {
    gen_ = m_.headerGen;
    mode_ = m_.netMode;
    if (mode_ == 2) {
        std::string user, pwd;
        m_.credentials(user, pwd);
        buildCredentials(buf_, RelayData, user, pwd);
        room_ = RELAY_DTU_HEADER;
    } else if (rec_.appProto == 1) {
        buf_[TYPE_OFFSET] = DtuData;
        room_ = LINK_HEADER_SIZE;
    } else {
        room_ = 0;
    }
    fill_ = room_;
    frameLen_ = 0;
    flush_ = false;
}

void Reader::run() {
    lastRx_ = clock_.tickMs();
    port_->SetDSR(true);
    port_->SetCTS(true);
    prepare();
    for (;;) {
        int timeout = -1;
        if (flush_) {
            timeout = 0;
        } else if (fill_ > room_) {
            uint64_t quiet = clock_.tickMs() - lastRx_;
            timeout = quiet > SILENCE_MS ? 0 : static_cast<int>(SILENCE_MS + 1 - quiet);
        }
        if (!port_->WaitInput(*rec_.stopEvent, timeout)) return;
        // A changed mode or credential takes effect between bursts.
        if (fill_ == room_ && m_.headerGen != gen_) prepare();
        pass();
    }
}

void Reader::pass() {
    if (rec_.netProto != 0) {
        // No transport for this port: its data is dropped, never left to spin on.
        while (port_->InQueueCount() > 0)
            if (port_->Read(copy_, sizeof copy_) <= 0) break;
        return;
    }
    uint32_t proto = rec_.serProto;
    int waiting = port_->InQueueCount();
    if (waiting > 0 && fill_ < FRAME_BUF_SIZE) {
        int n = port_->Read(buf_ + fill_, std::min(waiting, FRAME_BUF_SIZE - fill_));
        if (n > 0) fill_ += n;
        lastRx_ = clock_.tickMs();
        if (!flush_) {
            if (proto >= 2) {
                int announced = frameAnnounced(proto, buf_ + room_, fill_ - room_);
                if (announced < 0 || announced > frameCapacity()) {
                    fill_ = room_;  // no marker, or a frame that could never fit: dropped at once
                } else if (announced > 0 && announced <= fill_ - room_) {
                    frameLen_ = announced;
                    flush_ = true;
                }
            } else if (fill_ > BURST_LIMIT) {
                flush_ = true;
            }
        }
    } else if (!flush_ && fill_ > room_ && clock_.tickMs() - lastRx_ > SILENCE_MS) {
        if (proto <= 1)
            flush_ = true;
        else
            fill_ = room_;  // an incomplete frame is dropped
    }
    if (flush_) send();
}

void Reader::send() {
    uint32_t proto = rec_.serProto;
    if (proto <= 1)
        sendBurst(proto);
    else
        sendFrame();
}

void Reader::collect(bool firstOnly, int led) {
    targets_.clear();
    std::lock_guard<std::mutex> lk(m_.registryLock());
    for (const std::shared_ptr<_tagDTU>* link = &rec_.dtuHead; *link; link = &(*link)->next) {
        const std::shared_ptr<_tagDTU>& d = *link;
        if (!d->selected || !d->online) continue;
        if (led >= 0 && led != 255 && !ledHas(d->ledMap, static_cast<unsigned>(led))) continue;
        Target t{d, d->addr, {}};
        std::memcpy(t.devNo, d->devNo, sizeof t.devNo);
        targets_.push_back(std::move(t));
        if (firstOnly) break;
    }
}

void Reader::sendBurst(uint32_t proto) {
    collect(proto == 0, -1);
    for (const Target& t : targets_) transmit(t, buf_, fill_);
    targets_.clear();
    fill_ = room_;
    flush_ = false;
}

void Reader::sendFrame() {
    int led = buf_[room_ + 7];
    if (led == 255) {
        collect(false, 255);
        for (const Target& t : targets_) transmit(t, buf_, fill_);
        targets_.clear();
        fill_ = room_;
        frameLen_ = 0;
        flush_ = false;
        return;
    }
    collect(true, led);
    if (!targets_.empty()) transmit(targets_.front(), buf_, room_ + frameLen_);
    targets_.clear();
    consumeFrame();
}

void Reader::consumeFrame() {
    int rest = fill_ - room_ - frameLen_;
    flush_ = false;
    if (rest <= 0) {
        fill_ = room_;
        frameLen_ = 0;
        return;
    }
    std::memmove(buf_ + room_, buf_ + room_ + frameLen_, static_cast<size_t>(rest));
    fill_ = room_ + rest;
    int next = frameLength(rec_.serProto, buf_ + room_, rest);
    frameLen_ = next > 0 ? next : 0;
    flush_ = next > 0;
}

void Reader::transmit(const Target& t, uint8_t* pkt, int len) {
    if (room_ == RELAY_DTU_HEADER)
        putDevNo(pkt + CREDENTIAL_SIZE, t.devNo);
    else if (room_ == LINK_HEADER_SIZE)
        putDevNo(pkt, t.devNo);
    const bool relay = mode_ == 2;
    if (relay && m_.relayRefused) return;  // a relay too new for us gets nothing more
    const VDIPAddress dest = relay ? m_.relayAddr : t.addr;
    const int minimum = relay ? RELAY_DTU_HEADER + 1 : (room_ == LINK_HEADER_SIZE ? LINK_HEADER_SIZE + 1 : 0);
    const uint8_t* data = pkt;
    int cur = len;
    // Retries end when the port stops or the DTU leaves the eligible set.
    while (t.dtu->selected && t.dtu->online) {
        std::shared_ptr<VDAsyncSocket> sock = m_.socket();
        if (!sock) return;  // no socket for these settings: nothing can go
        int r = sock->SendTo(dest, data, cur);
        if (r < 0 || r < minimum || (r == 0 && cur > 0)) {
            data = pkt;  // the packet starts again from its first byte
            cur = len;
            if (rec_.stopEvent->Wait(RETRY_PAUSE_MS)) return;
            continue;
        }
        t.dtu->txBytes += static_cast<uint32_t>(relay ? r - 15 : r);
        if (r >= cur) return;
        // Short send: the header stays, the unsent bytes follow it, in a
        // private copy so that the buffer keeps its data for other DTUs.
        int unsent = cur - r;
        std::memmove(copy_, data, static_cast<size_t>(room_));
        std::memmove(copy_ + room_, data + r, static_cast<size_t>(unsent));
        data = copy_;
        cur = room_ + unsent;
    }
}

}  // namespace

uint32_t portReader(void* arg) {
    auto& rec = *static_cast<_tagVSP*>(arg);
    std::shared_ptr<IVirtualPort> port;
    {
        std::lock_guard<std::mutex> lk(rec.owner->registryLock());
        port = rec.vsPortAx;
    }
    if (port) Reader(*rec.owner, rec, rec.owner->clock_, port).run();
    return 0;
}
