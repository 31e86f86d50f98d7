#pragma once
// Base of the manager's network sockets: owns one non-blocking POSIX socket
// and the worker thread that receives on it and reports to a TCommLink.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>

#include "net/TrafficTap.h"
#include "net/VDEvent.h"
#include "net/VDIPAddress.h"
#include "net/VDThread.h"

class VDAsyncSocket;

// One datagram of a batch.
struct SendItem {
    VDIPAddress to;
    const void* data;
    int len;
};

// Owner interface; every call comes on the socket's worker thread.
class TCommLink {
public:
    virtual ~TCommLink() = default;
    virtual void OnOpen(VDAsyncSocket* sock) = 0;
    // `from` and `data` are valid only during the call.
    virtual void OnReceive(VDAsyncSocket* sock, const VDIPAddress* from, const uint8_t* data, uint32_t len) = 0;
    // After the packets of one receive call: what they held back may go.
    virtual void OnBatchEnd(VDAsyncSocket*) {}
    virtual void OnClose(VDAsyncSocket* sock) = 0;
};

class VDAsyncSocket {
public:
    static constexpr int RX_BUF_SIZE = 2000;

    VDAsyncSocket() = default;
    virtual ~VDAsyncSocket();
    VDAsyncSocket(const VDAsyncSocket&) = delete;
    VDAsyncSocket& operator=(const VDAsyncSocket&) = delete;

    // Launches the worker; the owner sets link and addresses first. Returns
    // once the worker has tried to make its socket, so that a send right
    // after Start finds it (a datagram socket that can bind is ready).
    virtual void Start();
    // Ends the worker and waits for it. The socket stays open (a datagram
    // socket stays bound) until Close or destruction. Safe to call twice.
    virtual bool Stop();
    // Callable from any thread: bytes sent, 0 when nothing could go, or -1.
    virtual int SendTo(const VDIPAddress& to, const void* data, int len) = 0;
    // Sends datagrams in order, many per system call where the socket can:
    // how many went whole. What did not go is for SendTo (which says why);
    // a socket without batches sends none here.
    virtual int SendBatch(const SendItem*, int) { return 0; }
    virtual void Close();
    // Waits until a send may go (the send buffer has room), `stop` is set or
    // timeoutMs passes. False when stopped.
    bool WaitWritable(VDEvent& stop, int timeoutMs);
    // One line on how the socket was set up, for the log; empty when nothing to say.
    virtual std::string Describe() const { return {}; }

    // True for a stream whose one peer is the relay: all it delivers is the relay's.
    virtual bool RelayStream() const { return false; }

    bool Create(int type);
    bool Bind();
    void Wake();
    bool IsOpen() const { return sock_.load() >= 0; }
    int Handle() const { return sock_.load(); }

    TCommLink* link = nullptr;
    VDIPAddress localAddr;
    TrafficTap* tap = nullptr;  // set with link, before Start

protected:
    // Every datagram sent or received passes here once.
    void tapped(TapDir dir, const VDIPAddress& local, const VDIPAddress& peer, const void* data, ssize_t len) const {
        if (tap && tap->listening() && len > 0)
            tap->datagram(dir, local, peer, RelayStream(), static_cast<const uint8_t*>(data), static_cast<size_t>(len));
    }
    // The worker routine of the concrete socket; returns when stopEvent is seen.
    virtual void Run() = 0;
    // Concrete destructors call this before their members go.
    void endWorker();

    std::atomic<int> sock_{-1};
    // Shared by senders, exclusive while the descriptor is made or closed, so
    // that a send never reaches a descriptor number reused by someone else.
    std::shared_mutex sockGuard_;
    VDEvent wakeEvent_{false};
    VDEvent stopEvent_{false};
    VDEvent firstPass_{true};  // set by the worker after its first attempt to make a socket
    VDThread worker_;
    std::atomic<bool> running_{false};
    std::atomic<bool> opened_{false};
    uint8_t rxBuf_[RX_BUF_SIZE];

private:
    static uint32_t workerEntry(void* self);
};
