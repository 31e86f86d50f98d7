#include "vsp/PortReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vsp/Framing.h"

namespace {
constexpr int BURST_LIMIT = 1200;
constexpr int RETRY_PAUSE_MS = 5;
// A pass sends what it queued once this many packets or bytes wait.
constexpr size_t BATCH_PACKETS = 64;
constexpr size_t BATCH_BYTES = 64 * 1024;
// Reads per pass while the program keeps the port full, so that a stop
// is still seen.
constexpr int READS_PER_PASS = 8;
}  // namespace

PortReader::PortReader(ReaderHost& host, Clock& clock, int portNo, std::shared_ptr<IVirtualPort> port,
                       const PortLine& line)
    : host_(host), clock_(clock), portNo_(portNo), port_(std::move(port)), line_(line), in_(READ_CHUNK) {
    targets_.reserve(16);
    queued_.reserve(BATCH_PACKETS);
    queuedBytes_.reserve(BATCH_BYTES + FRAME_BUF_SIZE);
    batch_.reserve(BATCH_PACKETS);
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
}

void PortReader::run() {
    lastRx_ = clock_.tickUs();
    gapUs_ = burstGapUs(false, 0);
    port_->SetDSR(true);
    port_->SetCTS(true);
    prepare();
    for (;;) {
        int timeout = -1;
        if (fill_ > room_) {
            const uint64_t quiet = clock_.tickUs() - lastRx_;
            const uint64_t gap = static_cast<uint64_t>(gapUs_);
            timeout = quiet > gap ? 0 : static_cast<int>((gap - quiet) / 1000 + 1);
        }
        if (!port_->WaitInput(stop_, timeout)) return;
        // A changed mode or credential takes effect between bursts.
        if (fill_ == room_ && host_.headerGen() != gen_) prepare();
        pass();
    }
}

void PortReader::pass() {
    const int size = static_cast<int>(in_.size());
    if (line_.netProto != 0) {
        // No transport for this port: its data is dropped, never left to spin on.
        for (int i = 0; i < READS_PER_PASS && port_->Read(in_.data(), size) == size; ++i) {
        }
        return;
    }
    const uint32_t proto = line_.serProto;
    bool got = false;
    for (int i = 0; i < READS_PER_PASS; ++i) {
        int n = port_->Read(in_.data(), size);
        if (n <= 0) break;
        got = true;
        tapSerial(host_.tap(), portNo_, TapDir::Tx, in_.data(), static_cast<size_t>(n));
        feed(in_.data(), n, proto);
        if (n < size) break;
    }
    if (got) {
        lastRx_ = clock_.tickUs();
        // The speed is the program's to change at any time: looked up as data comes.
        const bool atLineSpeed = proto <= 1 && line_.lineGap;
        gapUs_ = burstGapUs(atLineSpeed, atLineSpeed ? port_->LineSpeed() : 0);
    } else if (fill_ > room_ && clock_.tickUs() - lastRx_ > static_cast<uint64_t>(gapUs_)) {
        if (proto <= 1)
            sendBurst(proto);
        else
            fill_ = room_;  // an incomplete frame is dropped
    }
    sendQueued();
}

void PortReader::feed(const uint8_t* data, int n, uint32_t proto) {
    // The bytes pass through the frame buffer as they would arrive one
    // buffer-full at a time: a burst is cut above its limit, a frame leaves
    // as soon as it is complete.
    while (n > 0) {
        int take = std::min(n, FRAME_BUF_SIZE - fill_);
        std::memcpy(buf_ + fill_, data, static_cast<size_t>(take));
        fill_ += take;
        data += take;
        n -= take;
        if (proto <= 1) {
            if (fill_ > BURST_LIMIT) sendBurst(proto);
        } else {
            takeFrames(proto);
        }
    }
}

void PortReader::takeFrames(uint32_t proto) {
    while (fill_ > room_) {
        const int have = fill_ - room_;
        const int announced = frameAnnounced(proto, buf_ + room_, have);
        if (announced < 0 || announced > frameCapacity()) {
            fill_ = room_;  // no marker, or a frame that could never fit: dropped at once
            return;
        }
        if (announced == 0 || announced > have) return;  // more to come
        if (frameLed(buf_ + room_, have) == 255) {
            sendFrame(have);  // with whatever followed it
            fill_ = room_;
            return;
        }
        sendFrame(announced);
        std::memmove(buf_ + room_, buf_ + room_ + announced, static_cast<size_t>(have - announced));
        fill_ -= announced;
    }
}

void PortReader::collect(bool firstOnly, int led) {
    targets_.clear();
    host_.collectTargets(portNo_, firstOnly, led, targets_);
}

void PortReader::sendBurst(uint32_t proto) {
    collect(proto == 0, -1);
    for (const ReaderTarget& t : targets_) queue(t, buf_, fill_);
    targets_.clear();
    fill_ = room_;
}

void PortReader::sendFrame(int len) {
    const int led = frameLed(buf_ + room_, len);
    collect(led != 255, led);
    for (const ReaderTarget& t : targets_) queue(t, buf_, room_ + len);
    targets_.clear();
}

void PortReader::queue(const ReaderTarget& t, uint8_t* pkt, int len) {
    if (room_ == RELAY_DTU_HEADER)
        setRelayDevNo(pkt, t.devNo);
    else if (room_ == LINK_HEADER_SIZE)
        setLinkDevNo(pkt, t.devNo);
    if (queued_.size() >= BATCH_PACKETS || queuedBytes_.size() + static_cast<size_t>(len) > BATCH_BYTES) sendQueued();
    const size_t at = queuedBytes_.size();
    queuedBytes_.insert(queuedBytes_.end(), pkt, pkt + len);
    const VDIPAddress dest = mode_ == 2 ? host_.relayAddress() : t.addr;
    queued_.push_back({t.dtu, dest, at, len});
}

void PortReader::sendQueued() {
    if (queued_.empty()) return;
    const bool relay = mode_ == 2;
    // One at a time once a batch call sent nothing (a stream, or a full buffer).
    bool single = false;
    size_t i = 0;
    while (i < queued_.size()) {
        // Made for a mode or credentials that have changed since: not sent.
        if (host_.headerGen() != gen_) break;
        if (relay && host_.relayRefused()) break;  // a relay too new for us gets nothing more
        std::shared_ptr<VDAsyncSocket> sock = host_.socket();
        if (!sock) break;  // no socket for these settings: nothing can go
        int sent = 0;
        if (!single) {
            // The packets of DTUs still selected and on line, in one call.
            batch_.clear();
            for (size_t j = i; j < queued_.size() && queued_[j].dtu->selected && queued_[j].dtu->online; ++j)
                batch_.push_back({queued_[j].to, queuedBytes_.data() + queued_[j].at, queued_[j].len});
            if (!batch_.empty()) {
                sent = sock->SendBatch(batch_.data(), static_cast<int>(batch_.size()));
                single = sent == 0;
            }
        }
        for (int k = 0; k < sent; ++k, ++i)
            queued_[i].dtu->txBytes += static_cast<uint32_t>(relay ? queued_[i].len - 15 : queued_[i].len);
        if (i == queued_.size()) break;
        // The one that did not go (or whose DTU left) takes the slow road:
        // waits for room, pauses after an error, or is given up.
        const Queued& q = queued_[i];
        transmit(*q.dtu, q.to, queuedBytes_.data() + q.at, q.len);
        ++i;
    }
    queued_.clear();
    queuedBytes_.clear();
}

void PortReader::transmit(DtuLinkState& dtu, const VDIPAddress& dest, const uint8_t* pkt, int len) {
    const bool relay = mode_ == 2;
    const int minimum = relay ? RELAY_DTU_HEADER + 1 : (room_ == LINK_HEADER_SIZE ? LINK_HEADER_SIZE + 1 : 0);
    const uint8_t* data = pkt;
    int cur = len;
    // Retries end when the port stops or the DTU leaves the eligible set.
    while (dtu.selected && dtu.online) {
        if (host_.headerGen() != gen_) return;
        if (relay && host_.relayRefused()) return;
        std::shared_ptr<VDAsyncSocket> sock = host_.socket();
        if (!sock) return;
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
        dtu.txBytes += static_cast<uint32_t>(relay ? r - 15 : r);
        if (r >= cur) return;
        // Short send: the header stays, the unsent bytes follow it, in a
        // private copy.
        int unsent = cur - r;
        std::memmove(copy_, data, static_cast<size_t>(room_));
        std::memmove(copy_ + room_, data + r, static_cast<size_t>(unsent));
        data = copy_;
        cur = room_ + unsent;
    }
}
