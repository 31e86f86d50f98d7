// Once a second: the rows follow the records, silent DTUs time out, and in
// the relay modes off-line DTUs are queried and the keep-alive is sent.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "app/Manager.h"
#include "link/LinkProtocol.h"

namespace {
constexpr int64_t TIMEOUT_FT = 120 * FILETIME_PER_SECOND;
constexpr int MAX_QUERIES = 4;

void showOnline(Row& row, const _tagDTU& d) {
    row.cells[ColAddress] = d.addr.ToText();
    row.cells[ColLastLogon] = fileTimeText(d.lastLogon);
}
}  // namespace

void Manager::TimerRuningTimer() {
    ++relayTicks;
    const int mode = netMode;
    const int64_t now = clock_.localFileTime();
    std::vector<std::string> offQueries, keepQueries;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        for (auto& rowp : rows_) {
            Row& row = *rowp;
            _tagDTU& d = *row.dtu;
            if (row.cells[ColOn] == ON_MARK) {
                showOnline(row, d);
                row.cells[ColTx] = std::to_string(d.txBytes.load());
                row.cells[ColRx] = std::to_string(d.rxBytes.load());
                bool off = mode == 2 ? !d.online : !d.fixedAddr && now - d.lastLogon > TIMEOUT_FT;
                if (off) {
                    row.cells[ColOn] = OFF_MARK;
                    row.cells[ColAddress] = NO_ADDR;
                    if (mode != 2) {
                        d.addr.Parse(NO_ADDR);
                        d.queryCount = 0;
                        d.online = false;
                    }
                }
            } else if (d.online) {
                row.cells[ColOn] = ON_MARK;
                showOnline(row, d);
                row.cells[ColRx] = std::to_string(d.rxBytes.load());
            }
        }
        if (mode == 0 || relayRefused) return;
        auto queried = [](const Row& r) { return r.cells[ColOn] == OFF_MARK && r.dtu->queryCount < MAX_QUERIES; };
        if (relayTicks % 2 == 0)
            for (auto& rowp : rows_)
                if (queried(*rowp)) {
                    ++rowp->dtu->queryCount;
                    offQueries.push_back(rowp->caption);
                }
        if (mode == 2 && relayTicks > keepAliveTicks)
            for (auto& rowp : rows_)
                if (!queried(*rowp)) keepQueries.push_back(rowp->caption);
    }
    uint8_t query[RELAY_DTU_HEADER];
    std::string user, pwd;
    credentials(user, pwd);
    buildCredentials(query, RelayQuery, user, pwd);
    bool sent = false;
    for (auto* list : {&offQueries, &keepQueries})
        for (const std::string& devNo : *list) {
            if (sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // relays want them spaced
            putDevNo(query + CREDENTIAL_SIZE, devNo.c_str());
            sendToRelay(query, RELAY_DTU_HEADER);
            sent = true;
        }
    if (relayTicks > keepAliveTicks) {
        if (!sent) sendRelayLogon();
        relayTicks = 0;
    }
}
