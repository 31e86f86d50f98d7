#include "vsp/PortReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vsp/Framing.h"

namespace {
constexpr int SILENCE_MS = 50;
constexpr int BURST_LIMIT = 1200;
constexpr int RETRY_PAUSE_MS = 5;
}  // namespace

PortReader::PortReader(ReaderHost& host, Clock& clock, int portNo, std::shared_ptr<IVirtualPort> port,
                       const PortLine& line)
    : host_(host), clock_(clock), portNo_(portNo), port_(std::move(port)), line_(line) {
    targets_.reserve(16);
}

PortReader::~PortReader() { Stop(); }

uint32_t PortReader::entry(void* self) {
    static_cast<PortReader*>(self)->run();
    return 0;
}

void PortReader::Start() { thread_.Start(&PortReader::entry, this); }

void PortReader::Stop() {
    stop_.Set();
    thread_.Wait(VDThread::INFINITE);
}

void PortReader::prepare() {
    gen_ = host_.headerGen();
    mode_ = host_.linkMode();
    if (mode_ == 2) {
        std::string user, pwd;
        host_.relayCredentials(user, pwd);
        room_ = encodeRelayDtuHeader(buf_, RelayData, user, pwd, "");
    } else if (line_.appProto == 1) {
        encodeLinkHeader(buf_, "", DtuData);
        room_ = LINK_HEADER_SIZE;
    } else {
        room_ = 0;
    }
    fill_ = room_;
    frameLen_ = 0;
    flush_ = false;
}

void PortReader::run() {
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
        if (!port_->WaitInput(stop_, timeout)) return;
        // A changed mode or credential takes effect between bursts.
        if (fill_ == room_ && host_.headerGen() != gen_) prepare();
        pass();
    }
}

void PortReader::pass() {
    if (line_.netProto != 0) {
        // No transport for this port: its data is dropped, never left to spin on.
        while (port_->InQueueCount() > 0)
            if (port_->Read(copy_, sizeof copy_) <= 0) break;
        return;
    }
    uint32_t proto = line_.serProto;
    int waiting = port_->InQueueCount();
    if (waiting > 0 && fill_ < FRAME_BUF_SIZE) {
        int n = port_->Read(buf_ + fill_, std::min(waiting, FRAME_BUF_SIZE - fill_));
        if (n > 0) tapSerial(host_.tap(), portNo_, TapDir::Tx, buf_ + fill_, static_cast<size_t>(n));
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
    if (!flush_) return;
    if (proto <= 1)
        sendBurst(proto);
    else
        sendFrame();
}

void PortReader::collect(bool firstOnly, int led) {
    targets_.clear();
    host_.collectTargets(portNo_, firstOnly, led, targets_);
}

void PortReader::sendBurst(uint32_t proto) {
    collect(proto == 0, -1);
    for (const ReaderTarget& t : targets_) transmit(t, buf_, fill_);
    targets_.clear();
    fill_ = room_;
    flush_ = false;
}

void PortReader::sendFrame() {
    int led = frameLed(buf_ + room_, fill_ - room_);
    if (led == 255) {
        collect(false, 255);
        for (const ReaderTarget& t : targets_) transmit(t, buf_, fill_);
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

void PortReader::consumeFrame() {
    int rest = fill_ - room_ - frameLen_;
    flush_ = false;
    if (rest <= 0) {
        fill_ = room_;
        frameLen_ = 0;
        return;
    }
    std::memmove(buf_ + room_, buf_ + room_ + frameLen_, static_cast<size_t>(rest));
    fill_ = room_ + rest;
    int next = frameLength(line_.serProto, buf_ + room_, rest);
    frameLen_ = next > 0 ? next : 0;
    flush_ = next > 0;
}

void PortReader::transmit(const ReaderTarget& t, uint8_t* pkt, int len) {
    if (room_ == RELAY_DTU_HEADER)
        setRelayDevNo(pkt, t.devNo);
    else if (room_ == LINK_HEADER_SIZE)
        setLinkDevNo(pkt, t.devNo);
    const bool relay = mode_ == 2;
    if (relay && host_.relayRefused()) return;  // a relay too new for us gets nothing more
    const VDIPAddress dest = relay ? host_.relayAddress() : t.addr;
    const int minimum = relay ? RELAY_DTU_HEADER + 1 : (room_ == LINK_HEADER_SIZE ? LINK_HEADER_SIZE + 1 : 0);
    const uint8_t* data = pkt;
    int cur = len;
    // Retries end when the port stops or the DTU leaves the eligible set.
    while (t.dtu->selected && t.dtu->online) {
        std::shared_ptr<VDAsyncSocket> sock = host_.socket();
        if (!sock) return;  // no socket for these settings: nothing can go
        int r = sock->SendTo(dest, data, cur);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The send buffer is full: wait for room, not for a clock.
            if (!sock->WaitWritable(stop_, RETRY_PAUSE_MS * 20)) return;
            continue;
        }
        if (r < 0 || r < minimum || (r == 0 && cur > 0)) {
            data = pkt;  // the packet starts again from its first byte
            cur = len;
            if (stop_.Wait(RETRY_PAUSE_MS)) return;
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
