// The Config.xml loader: whatever loads, saves, and loads again to the very
// same bytes; start-up's checks accept only settings in range.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "fuzz/FuzzCheck.h"
#include "support/TestSupport.h"

namespace {
std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TempDir dir;
    const std::string file = dir.file("Config.xml");
    dir.write("Config.xml", std::string(reinterpret_cast<const char*>(data), size));
    {
        ConfigStore first(file);
        if (first.load() != LoadResult::Loaded) return 0;
        FUZZ_CHECK(first.save());
    }
    const std::string saved = readAll(file);
    {
        ConfigStore second(file);
        FUZZ_CHECK(second.load() == LoadResult::Loaded);
        FUZZ_CHECK(second.save());
    }
    FUZZ_CHECK(readAll(file) == saved);  // load -> save is a fixed point after one round

    CoreFixture f;  // start-up's reading, with ports in memory
    f.dir.write("Config.xml", saved);
    if (f.core->loadConfig() != LoadResult::Loaded) return 0;
    if (!f.core->readSettings()) return 0;
    const Network& net = f.core->net();
    FUZZ_CHECK(net.udpPort != 0 || net.tcpPort != 0);
    FUZZ_CHECK(net.netMode >= 0 && net.netMode <= 2);
    f.core->readPorts();
    for (Row* r : f.rows()) FUZZ_CHECK(r->caption.size() <= DEVNO_MAX && r->groupId >= 1 && r->groupId <= 254);
    return 0;
}
