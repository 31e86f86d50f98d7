// Loading many DTUs into one port, and finding them: both must not grow
// with the square of the count. Ports are in memory; Config.xml is real.
#include <chrono>
#include <cstdio>
#include <string>

#include "support/TestSupport.h"

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200000;
    std::string xml = sysLine(DIRECT_SYS) + "<CommPort port=\"1\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">";
    for (int i = 0; i < count; ++i)
        xml += "<DTU id=\"D" + std::to_string(i) + "\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/>";
    xml += "</CommPort></VSPConfig>";
    CoreFixture f(xml);
    auto t0 = std::chrono::steady_clock::now();
    if (!f.load()) {
        std::fprintf(stderr, "the file did not load\n");
        return 1;
    }
    auto t1 = std::chrono::steady_clock::now();
    int found = 0;
    for (int i = 0; i < count; ++i) found += findDtu(*f.core, "D" + std::to_string(count - 1 - i)) != nullptr;
    auto t2 = std::chrono::steady_clock::now();
    auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
    std::printf("%d DTUs in one port: loaded (parse, records, rows) in %.0f ms; %d of %d found in %.0f ms (%.2f us each)\n",
                count, ms(t0, t1), found, count, ms(t1, t2), ms(t1, t2) * 1000 / count);
    return found == count ? 0 : 1;
}
