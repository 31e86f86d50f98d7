#pragma once
// The monitor's recent records, handed from the socket and reader threads to
// the window, which takes them in batches. Bounded: past the capacity the
// oldest go. Two sides: the data path fills one while the window reads the
// other, and each slot keeps its storage, so that once the ring has filled
// a record costs the data path a copy and no allocation.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/TapRecord.h"

class TrafficRing {
public:
    static constexpr size_t CAPACITY = 10000;
    explicit TrafficRing(size_t capacity = CAPACITY) : capacity_(capacity) {}

    // `meta` without its bytes; `data` are copied into the slot.
    void push(const TapRecord& meta, const uint8_t* data, size_t len);
    // Copies out everything waiting, oldest first (one thread only: the window).
    void drain(std::vector<TapRecord>& out);
    // A fresh start: no records, no count of overwritten ones, no storage.
    void clear();
    uint64_t overwritten() const;  // records that went before they were taken

private:
    struct Side {
        std::vector<TapRecord> entries;
        size_t start = 0, count = 0;
    };
    const size_t capacity_;
    mutable std::mutex mu_;
    Side sides_[2];
    Side* filling_ = &sides_[0];
    uint64_t overwritten_ = 0;
};
