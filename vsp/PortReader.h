#pragma once
// The reader thread of one port: serial data cut into bursts or controller
// frames and sent to the port's DTUs. What it needs of the rest of the
// manager (the DTUs to send to, the socket, the relay) comes through
// ReaderHost, so the reader knows nothing of the registry.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/LinkProtocol.h"
#include "net/Clock.h"
#include "net/VDAsyncSocket.h"
#include "net/VDEvent.h"
#include "net/VDThread.h"
#include "vsp/VirtualPort.h"

constexpr int FRAME_BUF_SIZE = 1400;
// What one read of the port may take: a pseudo-terminal hands over a few KB
// at a time, and every frame in it leaves in one batch.
constexpr int READ_CHUNK = 16384;

// The flags and counter of a DTU that a reader watches while it sends.
struct DtuLinkState {
    std::atomic<bool> selected{false};
    std::atomic<bool> online{false};
    std::atomic<uint32_t> txBytes{0};
    std::atomic<uint32_t> rxBytes{0};
};

struct ReaderTarget {
    std::shared_ptr<DtuLinkState> dtu;
    VDIPAddress addr;
    std::string devNo;
};

class ReaderHost {
public:
    virtual ~ReaderHost() = default;
    // Raised when the mode or the relay credentials change.
    virtual uint32_t headerGen() const = 0;
    virtual int linkMode() const = 0;  // 0 Direct, 1 Fast Relay, 2 Relay
    virtual void relayCredentials(std::string& user, std::string& pwd) const = 0;
    virtual bool relayRefused() const = 0;
    virtual VDIPAddress relayAddress() const = 0;
    virtual std::shared_ptr<VDAsyncSocket> socket() const = 0;
    virtual TrafficTap* tap() const { return nullptr; }  // serial bytes read from the port go here
    // The selected, on-line DTUs of port `port`; with 0 <= led < 255 only
    // those that serve that LED number; with firstOnly at most one.
    virtual void collectTargets(int port, bool firstOnly, int led, std::vector<ReaderTarget>& out) = 0;
};

struct PortLine {
    uint32_t netProto = 0;
    uint32_t appProto = 0;
    std::atomic<uint32_t> serProto{0};  // changed by an edit while the reader runs
    // Bursts (protocols 0 and 1) end after 3.5 characters at the line's speed.
    std::atomic<bool> lineGap{false};
};

class PortReader {
public:
    PortReader(ReaderHost& host, Clock& clock, int portNo, std::shared_ptr<IVirtualPort> port,
               const PortLine& line);
    ~PortReader();
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    void Start();
    void Stop();  // waits for the thread; safe twice

private:
    static uint32_t entry(void* self);
    void run();
    void prepare();
    void pass();
    void feed(const uint8_t* data, int n, uint32_t proto);
    void takeFrames(uint32_t proto);
    void sendBurst(uint32_t proto);
    void sendFrame(int len);
    void collect(bool firstOnly, int led);
    // Packets wait in the batch until the pass ends (or the batch is full).
    void queue(const ReaderTarget& t, uint8_t* pkt, int len);
    void sendQueued();
    void transmit(DtuLinkState& dtu, const VDIPAddress& dest, const uint8_t* pkt, int len);
    int frameCapacity() const { return FRAME_BUF_SIZE - room_; }

    ReaderHost& host_;
    Clock& clock_;
    const int portNo_;
    std::shared_ptr<IVirtualPort> port_;
    const PortLine& line_;
    VDEvent stop_{true};
    VDThread thread_;
    uint8_t buf_[FRAME_BUF_SIZE] = {};
    uint8_t copy_[FRAME_BUF_SIZE] = {};
    std::vector<uint8_t> in_;
    int room_ = 0;
    int mode_ = 0;
    uint32_t gen_ = 0;
    int fill_ = 0;
    uint64_t lastRx_ = 0;  // microseconds
    int gapUs_ = 0;        // the silence that ends the burst being gathered
    std::vector<ReaderTarget> targets_;

    struct Queued {
        std::shared_ptr<DtuLinkState> dtu;
        VDIPAddress to;
        size_t at;
        int len;
    };
    std::vector<Queued> queued_;
    std::vector<uint8_t> queuedBytes_;
    std::vector<SendItem> batch_;
};
