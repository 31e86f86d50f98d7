#include "app/TrafficRing.h"

void TrafficRing::push(TapRecord&& r) {
    std::lock_guard<std::mutex> lk(mu_);
    if (q_.size() >= capacity_) {
        q_.pop_front();
        ++overwritten_;
    }
    q_.push_back(std::move(r));
}

void TrafficRing::drain(std::vector<TapRecord>& out) {
    std::deque<TapRecord> taken;
    {
        std::lock_guard<std::mutex> lk(mu_);
        taken.swap(q_);
    }
    // Moved out of the lock: the data path never waits for the window's copying.
    out.reserve(out.size() + taken.size());
    for (auto& r : taken) out.push_back(std::move(r));
}

void TrafficRing::clear() {
    std::lock_guard<std::mutex> lk(mu_);
    q_.clear();
    overwritten_ = 0;
}

uint64_t TrafficRing::overwritten() const {
    std::lock_guard<std::mutex> lk(mu_);
    return overwritten_;
}
