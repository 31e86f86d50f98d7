// The controller framing of every protocol, fed in chunks of any size: a
// frame's length is decided once and never changes as bytes follow, never
// reaches past what is there, and the frames cut from a stream are the same
// however it was split.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "vsp/Framing.h"

namespace {
// Cuts complete frames from the front of `buf` as bytes arrive; a byte that
// starts no frame is passed over. Returns the frames' lengths.
struct Cutter {
    uint32_t proto;
    std::vector<uint8_t> buf;
    std::vector<int> frames;
    void feed(const uint8_t* p, size_t n) {
        buf.insert(buf.end(), p, p + n);
        while (!buf.empty()) {
            // An exact-size copy, so that a read past the count is caught.
            const int count = static_cast<int>(buf.size());
            uint8_t* exact = static_cast<uint8_t*>(std::malloc(buf.size()));
            std::memcpy(exact, buf.data(), buf.size());
            const int len = frameLength(proto, exact, count);
            const int announced = frameAnnounced(proto, exact, count);
            FUZZ_CHECK(len == -1 || (len >= 0 && len <= count));
            FUZZ_CHECK(len <= 0 ? (len == -1) == (announced == -1) : len == announced);
            if (len > 0) FUZZ_CHECK(frameLed(exact, len) >= 0 && frameLed(exact, len) <= 255);
            std::free(exact);
            if (len == 0) return;
            const int cut = len < 0 ? 1 : len;
            if (len > 0) frames.push_back(len);
            buf.erase(buf.begin(), buf.begin() + cut);
        }
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t proto = data[0] % 6;  // 0..4, and one past them
    const uint8_t chunkSeed = data[1];
    data += 2;
    size -= 2;

    // Once decided (not 0), the announced length stays as more bytes come.
    int decided = 0;
    for (size_t c = 0; c <= size; ++c) {
        int a = frameAnnounced(proto, data, static_cast<int>(c));
        if (decided != 0) FUZZ_CHECK(a == decided);
        decided = a;
    }
    if (proto < 2 || proto > 4) FUZZ_CHECK(frameLength(proto, data, static_cast<int>(size)) == -1);

    Cutter whole{proto, {}, {}}, pieces{proto, {}, {}};
    whole.feed(data, size);
    size_t at = 0, k = 0;
    while (at < size) {
        size_t n = 1 + (chunkSeed * 31u + k++ * 17u) % 97u;  // chunks of 1 to 97 bytes
        if (n > size - at) n = size - at;
        pieces.feed(data + at, n);
        at += n;
    }
    FUZZ_CHECK(whole.frames == pieces.frames);
    FUZZ_CHECK(whole.buf == pieces.buf);
    return 0;
}
