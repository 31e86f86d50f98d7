#include "app/RelayPacer.h"

#include <chrono>

namespace {
constexpr int SPACING_MS = 1;
}

RelayPacer::RelayPacer(Network& net) : net_(net) { thread_.Start(&RelayPacer::entry, this); }

RelayPacer::~RelayPacer() { stop(); }

uint32_t RelayPacer::entry(void* self) {
    static_cast<RelayPacer*>(self)->run();
    return 0;
}

void RelayPacer::post(std::vector<std::vector<uint8_t>> packets) {
    if (packets.empty()) return;
    {
        std::lock_guard<std::mutex> lk(mu_);
        // What an earlier tick could not send yet is stale now: the new tick
        // asks again. So the queue never outgrows one tick.
        queue_.clear();
        for (auto& p : packets) queue_.push_back(std::move(p));
    }
    wake_.Set();
}

void RelayPacer::stop() {
    stop_.Set();
    thread_.Wait(VDThread::INFINITE);
    std::lock_guard<std::mutex> lk(mu_);
    queue_.clear();
    sending_ = false;
    idle_.notify_all();
}

bool RelayPacer::waitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    return idle_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return queue_.empty() && !sending_; });
}

void RelayPacer::run() {
    bool sentBefore = false;
    for (;;) {
        std::vector<uint8_t> p;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (!queue_.empty()) {
                p = std::move(queue_.front());
                queue_.pop_front();
                sending_ = true;
            } else {
                sending_ = false;
                idle_.notify_all();
            }
        }
        if (p.empty()) {
            sentBefore = false;
            pollfd w{wake_.Fd(), POLLIN, 0};
            if (stop_.WaitWith(&w, 1, -1) == VDEvent::Signalled) return;
            wake_.Wait(0);
            continue;
        }
        // The pause comes between packets, not before the first of a tick.
        if (sentBefore && stop_.Wait(SPACING_MS)) return;
        net_.sendToRelay(p.data(), static_cast<int>(p.size()));
        sentBefore = true;
    }
}
