#pragma once
// A network socket in memory: what the manager sends is recorded, and the
// test hands it packets as if they came from the network, on its own
// thread. No real socket, no sleep.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/VDAsyncSocket.h"

class MemSocket : public VDAsyncSocket {
public:
    struct Sent {
        VDIPAddress to;
        std::string bytes;
    };
    void Start() override {
        if (link) link->OnOpen(this);
    }
    bool Stop() override { return true; }
    bool RelayStream() const override { return stream; }
    int SendTo(const VDIPAddress& to, const void* data, int len) override {
        std::lock_guard<std::mutex> lk(m_);
        sent_.push_back({to, std::string(static_cast<const char*>(data), static_cast<size_t>(len))});
        cv_.notify_all();
        return len;
    }
    void deliver(const VDIPAddress& from, const std::string& bytes) {
        link->OnReceive(this, &from, reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
        link->OnBatchEnd(this);
    }
    // Everything sent since the last take.
    std::vector<Sent> take() {
        std::lock_guard<std::mutex> lk(m_);
        return std::move(sent_);
    }
    // Waits until `n` packets wait to be taken, with a deadline.
    bool waitSent(size_t n, int timeoutMs = 3000) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return sent_.size() >= n; });
    }

    bool stream = false;  // stands for the stream to the relay

protected:
    void Run() override {}

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Sent> sent_;
};
