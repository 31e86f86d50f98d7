// The monitor's view of a datagram, either way: any bytes get a type, the
// serial data starts inside the datagram, a frame is named only with its
// LED number and announced length, and the dump shows every byte.
#include <algorithm>
#include <cstring>
#include <string>

#include "app/PacketView.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (TapDir dir : {TapDir::Tx, TapDir::Rx}) {
        TapRecord r;
        r.dir = dir;
        r.bytes.assign(data, data + size);  // an exact-size copy: a read past it is caught
        PacketView v = describePacket(std::move(r));
        FUZZ_CHECK(!v.type.empty());
        FUZZ_CHECK(v.payloadAt <= size);
        FUZZ_CHECK(v.rec.bytes.size() == size && std::equal(v.rec.bytes.begin(), v.rec.bytes.end(), data));
        FUZZ_CHECK((v.code < 0) == (v.type == "bad" || v.type == "raw"));
        FUZZ_CHECK(v.devNo.size() <= 14);
        if (v.frame.protocol) {
            FUZZ_CHECK(v.frame.led >= 0 && v.frame.led <= 255 && v.frame.announced > 0);
        } else {
            FUZZ_CHECK(v.frame.led == -1 && v.frame.announced == 0);
        }
        MonitorFilter f;
        f.text = v.type;
        FUZZ_CHECK(f.accepts(v));
    }
    const std::string dump = hexDump(data, size);
    FUZZ_CHECK(static_cast<size_t>(std::count(dump.begin(), dump.end(), '\n')) == (size + 15) / 16);
    return 0;
}
