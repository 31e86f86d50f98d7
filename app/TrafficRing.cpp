#include "app/TrafficRing.h"

void TrafficRing::push(const TapRecord& meta, const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lk(mu_);
    Side& s = *filling_;
    size_t at;
    if (s.count < capacity_) {
        at = (s.start + s.count++) % capacity_;
    } else {
        at = s.start;
        s.start = (s.start + 1) % capacity_;
        ++overwritten_;
    }
    if (s.entries.size() <= at) s.entries.resize(at + 1);
    TapRecord& slot = s.entries[at];
    slot.usec = meta.usec;
    slot.dir = meta.dir;
    slot.serial = meta.serial;
    slot.stream = meta.stream;
    slot.port = meta.port;
    slot.local = meta.local;
    slot.peer = meta.peer;
    slot.bytes.assign(data, data + len);  // in the slot's own storage once it has some
}

void TrafficRing::drain(std::vector<TapRecord>& out) {
    Side* full;
    {
        std::lock_guard<std::mutex> lk(mu_);
        full = filling_;
        filling_ = full == &sides_[0] ? &sides_[1] : &sides_[0];
    }
    // The data path fills the other side now; this one is read without the
    // lock, its copies made and freed on this thread.
    out.reserve(out.size() + full->count);
    for (size_t i = 0; i < full->count; ++i) out.push_back(full->entries[(full->start + i) % capacity_]);
    full->start = full->count = 0;
}

void TrafficRing::clear() {
    std::lock_guard<std::mutex> lk(mu_);
    for (Side& s : sides_) {
        s.entries = {};
        s.start = s.count = 0;
    }
    overwritten_ = 0;
}

uint64_t TrafficRing::overwritten() const {
    std::lock_guard<std::mutex> lk(mu_);
    return overwritten_;
}
