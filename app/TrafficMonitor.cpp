#include "app/TrafficMonitor.h"

void TrafficMonitor::take(std::vector<PacketView>& out) {
    raw_.clear();
    hub_.drainMonitor(raw_);
    if (raw_.empty()) return;
    const size_t first = out.size();
    out.reserve(first + raw_.size());
    // Decoded outside the registry lock; the lock is taken once per batch.
    for (TapRecord& r : raw_) out.push_back(describePacket(std::move(r)));
    RegGuard g(reg_.mutex());
    for (size_t i = first; i < out.size(); ++i) {
        if (out[i].devNo.empty()) continue;
        if (_tagDTU* d = reg_.findDtu(g, out[i].devNo)) out[i].port = d->portNo;
    }
}
