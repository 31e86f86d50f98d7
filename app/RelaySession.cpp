#include "app/RelaySession.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {
constexpr int64_t TIMEOUT_FT = 120 * FILETIME_PER_SECOND;
constexpr int MAX_QUERIES = 4;
constexpr uint16_t NEWEST_RELAY = 256;

void showOnline(Row& row, const _tagDTU& d) {
    row.cells[ColAddress] = d.addr.ToText();
    row.cells[ColLastLogon] = fileTimeText(d.lastLogon);
}
}  // namespace

void RelaySession::sendRelayLogon() {
    uint8_t block[CREDENTIAL_SIZE];
    std::string user, pwd;
    net_.credentials(user, pwd);
    encodeCredentials(block, RelayLogon, user, pwd);
    net_.sendToRelay(block, CREDENTIAL_SIZE);
}

void RelaySession::onLogonAnswer(const RelayLogonAnswerPkt& a) {
    serverVersion = a.version;
    if (a.keepAlive == 0) return;
    keepAliveTicks = (static_cast<int>(a.keepAlive) - 10) / 3;
    logonOk = true;
}

RelaySession::LogonTick RelaySession::TimerLogonTOTimer() {
    ++logonTicks;
    if (!logonOk) {
        if (logonTicks > 3) {
            sendRelayLogon();
            logonTicks = 0;
        }
        return LogonTick::Waiting;
    }
    if (serverVersion > NEWEST_RELAY) {
        net_.relayRefused = true;
        return LogonTick::Refused;
    }
    return LogonTick::Accepted;
}

void RelaySession::TimerRuningTimer() {
    ++relayTicks;
    const int mode = net_.netMode;
    const int64_t now = clock_.localFileTime();
    std::vector<std::string> offQueries, keepQueries;
    {
        RegGuard g(reg_.mutex());
        for (auto& rowp : reg_.rows(g)) {
            Row& row = *rowp;
            _tagDTU& d = *row.dtu;
            if (row.cells[ColOn] == ON_MARK) {
                showOnline(row, d);
                row.cells[ColTx] = std::to_string(d.txBytes.load());
                row.cells[ColRx] = std::to_string(d.rxBytes.load());
                bool off = mode == 2 ? !d.online : !d.fixedAddr && fileTimeAfter(now, d.lastLogon, TIMEOUT_FT);
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
        if (mode == 0 || net_.relayRefused) return;
        auto queried = [](const Row& r) { return r.cells[ColOn] == OFF_MARK && r.dtu->queryCount < MAX_QUERIES; };
        if (relayTicks % 2 == 0)
            for (auto& rowp : reg_.rows(g))
                if (queried(*rowp)) {
                    ++rowp->dtu->queryCount;
                    offQueries.push_back(rowp->caption);
                }
        if (mode == 2 && relayTicks > keepAliveTicks)
            for (auto& rowp : reg_.rows(g))
                if (!queried(*rowp)) keepQueries.push_back(rowp->caption);
    }
    uint8_t query[RELAY_DTU_HEADER];
    std::string user, pwd;
    net_.credentials(user, pwd);
    encodeRelayDtuHeader(query, RelayQuery, user, pwd, "");
    bool sent = false;
    for (auto* list : {&offQueries, &keepQueries})
        for (const std::string& devNo : *list) {
            if (sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // relays want them spaced
            setRelayDevNo(query, devNo);
            net_.sendToRelay(query, RELAY_DTU_HEADER);
            sent = true;
        }
    if (relayTicks > keepAliveTicks) {
        if (!sent) sendRelayLogon();
        relayTicks = 0;
    }
}
