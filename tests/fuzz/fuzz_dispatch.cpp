// The packet codec, the receive dispatch and the once-a-second supervision,
// on a manager with ports and socket in memory. Each input picks the mode,
// then a series of packets (from the relay, a DTU, a stranger) and ticks.
// Checked: what the codec parses it writes back the same; a relay packet
// from a stranger changes nothing; counters grow by no more than arrived;
// stored times stay within a FILETIME's shown range; rows stay well formed.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "support/TestSupport.h"

namespace {
const char* const SYS[4] = {
    "udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"u\" pwd=\"p\"",
    "udpport=\"21012\" tcpport=\"\" mode=\"1\" usr=\"u\" pwd=\"p\"",
    "udpport=\"21012\" tcpport=\"\" mode=\"2\" usr=\"u\" pwd=\"p\"",
    "udpport=\"\" tcpport=\"5000\" mode=\"2\" usr=\"u\" pwd=\"p\"",  // the relay over the stream
};
const char PORTS[] =
    "<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"2\" cmt=\"\">"
    "<DTU id=\"A\" ip=\"\" cmt=\"\" devids=\"1,2\" sel=\"1\"/><DTU id=\"B\" ip=\"10.0.0.7:9\" cmt=\"\" devids=\"3\" sel=\"1\"/>"
    "</CommPort><CommPort port=\"4\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
    "<DTU id=\"C\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/></CommPort></VSPConfig>";

void checkCodec(const uint8_t* p, size_t len) {
    LinkPacket lp;
    if (parseLinkPacket(p, len, lp) == Parsed::Complete) {
        FUZZ_CHECK(lp.devNo.size() <= DEVNO_MAX && lp.bodyLen == len - LINK_HEADER_SIZE);
        std::vector<uint8_t> again = encodeLinkPacket(lp.devNo, lp.type, lp.body, lp.bodyLen);
        LinkPacket lp2;
        FUZZ_CHECK(parseLinkPacket(again.data(), again.size(), lp2) == Parsed::Complete);
        FUZZ_CHECK(lp2.devNo == lp.devNo && lp2.type == lp.type && lp2.bodyLen == lp.bodyLen);
        FUZZ_CHECK(lp.bodyLen == 0 || std::memcmp(lp2.body, lp.body, lp.bodyLen) == 0);
    }
    RelayDtuStatePkt st;
    if (parseRelayDtuState(p, len, st) == Parsed::Complete) {
        std::vector<uint8_t> again = encodeRelayDtuState(st);
        RelayDtuStatePkt st2;
        FUZZ_CHECK(parseRelayDtuState(again.data(), again.size(), st2) == Parsed::Complete);
        FUZZ_CHECK(st2.devNo == st.devNo && st2.lastLogon == st.lastLogon && std::memcmp(st2.wire, st.wire, 6) == 0);
    }
    RelayLogonAnswerPkt a;
    if (parseRelayLogonAnswer(p, len, a) == Parsed::Complete) {
        std::vector<uint8_t> again = encodeRelayLogonAnswer(a);
        RelayLogonAnswerPkt a2;
        FUZZ_CHECK(parseRelayLogonAnswer(again.data(), again.size(), a2) == Parsed::Complete);
        FUZZ_CHECK(a2.version == a.version && a2.keepAlive == a.keepAlive);
    }
    RelayPacket rp;
    if (parseRelayPacket(p, len, rp) == Parsed::Complete) FUZZ_CHECK(rp.devNo.size() <= DEVNO_MAX);
}

// What a packet may change, for every DTU and the relay session.
struct Snapshot {
    std::vector<std::string> dtus;
    std::vector<uint32_t> rx;
    std::vector<size_t> written;
    std::string relay;
    bool operator==(const Snapshot&) const = default;
};

struct Harness {
    explicit Harness(int setup) : f(sysLine(SYS[setup]) + PORTS, /*memoryNet=*/true) {
        f.core->FormCreate();
        FUZZ_CHECK(!f.core->terminateRequested && f.sockets.size() == 1);
        sock = f.sockets[0];
        sock->take();
    }
    ~Harness() { f.core->FormDestroy(); }
    Snapshot snap() {
        Snapshot s;
        for (const char* id : {"A", "B", "C"}) {
            _tagDTU* d = findDtu(*f.core, id);
            s.dtus.push_back(std::to_string(d->online.load()) + d->addr.ToText() + ":" + std::to_string(d->lastLogon.load()));
            s.rx.push_back(d->rxBytes);
        }
        for (const char* com : {"COM3", "COM4"}) s.written.push_back(f.port(com)->written().size());
        RelaySession& r = f.core->relay();
        s.relay = std::to_string(r.logonOk.load()) + "/" + std::to_string(r.serverVersion.load()) + "/" +
                  std::to_string(r.keepAliveTicks.load());
        return s;
    }
    void checkTimes() {
        for (const char* id : {"A", "B", "C"}) {
            int64_t t = findDtu(*f.core, id)->lastLogon;
            FUZZ_CHECK(t >= 0 && t <= FILETIME_LAST);
        }
    }
    void checkRows() {
        for (Row* r : f.rows()) {
            FUZZ_CHECK(r->cells[ColOn] == ON_MARK || r->cells[ColOn] == OFF_MARK);
            VDIPAddress shown;
            FUZZ_CHECK(shown.Parse(r->cells[ColAddress]));
        }
    }
    CoreFixture f;
    std::shared_ptr<MemSocket> sock;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int setup = data[0] % 4;
    Harness h(setup);
    const VDIPAddress relay = h.f.core->net().relayAddr;
    const VDIPAddress dtu(10, 0, 0, 7, 9), stranger(203, 0, 113, 5, 21012);
    size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t op = data[at];
        size_t len = data[at + 1] | (data[at + 2] << 8);
        at += 3;
        if (op % 4 == 3) {  // a tick, after `len` seconds
            h.f.clock.advanceSeconds(static_cast<int64_t>(len % 600));
            h.f.core->TimerRuningTimer();
            h.checkRows();
            continue;
        }
        if (len > size - at) len = size - at;
        if (len > VDAsyncSocket::RX_BUF_SIZE) len = VDAsyncSocket::RX_BUF_SIZE;
        // An exact-size copy, so that a read past the length is caught.
        std::unique_ptr<uint8_t[]> pkt(new uint8_t[len ? len : 1]);
        std::memcpy(pkt.get(), data + at, len);
        at += len;
        checkCodec(pkt.get(), len);
        const VDIPAddress& from = op % 4 == 0 ? relay : op % 4 == 1 ? dtu : stranger;
        LinkPacket lp;
        const bool parsed = parseLinkPacket(pkt.get(), len, lp) == Parsed::Complete;
        const bool relayType = parsed && (lp.type == RelayLogonAnswer || lp.type == RelayDtuState || lp.type == RelayDtuData);
        const bool overStream = setup == 3;
        const Snapshot before = h.snap();
        h.sock->deliver(from, std::string(reinterpret_cast<const char*>(pkt.get()), len));
        const Snapshot after = h.snap();
        if (!parsed || (relayType && !overStream && !(from == relay))) FUZZ_CHECK(after == before);
        uint64_t grown = 0;
        for (size_t i = 0; i < before.rx.size(); ++i) grown += after.rx[i] - before.rx[i];
        FUZZ_CHECK(grown <= len);
        size_t wrote = 0;
        for (size_t i = 0; i < before.written.size(); ++i) wrote += after.written[i] - before.written[i];
        FUZZ_CHECK(wrote <= (parsed ? lp.bodyLen : 0));
        h.checkTimes();
    }
    return 0;
}
