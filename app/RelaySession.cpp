#include "app/RelaySession.h"

#include <string>
#include <vector>

namespace {
constexpr int64_t TIMEOUT_FT = 120 * FILETIME_PER_SECOND;
constexpr int MAX_QUERIES = 4;
constexpr uint16_t NEWEST_RELAY = 256;

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
                row.showAddress(d.addr);
                row.showLastLogon(d.lastLogon);
                row.showTx(d.txBytes);
                row.showRx(d.rxBytes);
                bool off = mode == 2 ? !d.online : !d.fixedAddr && fileTimeAfter(now, d.lastLogon, TIMEOUT_FT);
                if (off) {
                    row.cells[ColOn] = OFF_MARK;
                    row.showAddress(VDIPAddress());
                    if (mode != 2) {
                        d.addr = VDIPAddress();
                        d.queryCount = 0;
                        d.online = false;
                    }
                }
            } else if (d.online) {
                row.cells[ColOn] = ON_MARK;
                row.showAddress(d.addr);
                row.showLastLogon(d.lastLogon);
                row.showRx(d.rxBytes);
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
    std::string user, pwd;
    net_.credentials(user, pwd);
    std::vector<std::vector<uint8_t>> packets;
    packets.reserve(offQueries.size() + keepQueries.size() + 1);
    for (auto* list : {&offQueries, &keepQueries})
        for (const std::string& devNo : *list) {
            packets.emplace_back(RELAY_DTU_HEADER);
            encodeRelayDtuHeader(packets.back().data(), RelayQuery, user, pwd, devNo);
        }
    if (relayTicks > keepAliveTicks) {
        if (packets.empty()) {
            packets.emplace_back(CREDENTIAL_SIZE);
            encodeCredentials(packets.back().data(), RelayLogon, user, pwd);
        }
        relayTicks = 0;
    }
    pacer_.post(std::move(packets));
}
