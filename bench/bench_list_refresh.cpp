// The once-a-second refresh of the main window with 10,000 DTU rows: the
// core's supervision tick plus the model update and a repaint of the list;
// and the same tick in Fast Relay mode with 10,000 off-line DTUs, where
// every other tick queries the relay for each of them: how long the window
// thread is held by the longest tick.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ui/Formmain.h"

namespace {
class SilentMessages : public MessageSink {
    MsgAnswer show(const std::string&, const std::string&, MsgIcon, MsgButtons) override { return MsgAnswer::Ok; }
};

// The UDP port of this process's relay in Fast Relay mode: the manager binds
// it and sends its queries to the relay at 127.0.0.1 on the same number.
uint16_t freeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

struct TenThousand {
    // `sys`: the Sys attributes; `addr`: each DTU has a fixed address (on line).
    TenThousand(const std::string& sys, bool addr) {
        char tmpl[] = "/tmp/vspbench-XXXXXX";
        dir = mkdtemp(tmpl);
        std::ofstream cfg(dir + "/Config.xml");
        cfg << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VSPConfig>\r\n<Sys " << sys << " />\r\n";
        for (int p = 1; p <= 100; ++p) {
            cfg << "<CommPort port=\"" << p << "\" netproto=\"0\" appproto=\"1\" serproto=\"2\" cmt=\"\">";
            for (int d = 0; d < 100; ++d) {
                cfg << "<DTU id=\"D" << p * 1000 + d << "\" ip=\"";
                if (addr) cfg << "10.0." << p << "." << d << ":5000";
                cfg << "\" cmt=\"row\" devids=\"1,2,3\" sel=\"1\"/>";
            }
            cfg << "</CommPort>";
        }
        cfg << "</VSPConfig>";
        cfg.close();
        form = std::make_unique<TMainForm>(QString::fromStdString(dir), msgs, clock);
        form->FormCreate();
        form->resize(1000, 700);
        form->show();
        QApplication::processEvents();
    }
    ~TenThousand() {
        form.reset();
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    SilentMessages msgs;
    SystemClock clock;
    std::unique_ptr<TMainForm> form;
};
// Made by the first run of their benchmark, ended before the application.
std::unique_ptr<TenThousand> onLine, offLine;
}  // namespace

static void BM_RefreshTick10k(benchmark::State& state) {
    // No socket: nothing to disturb the figure.
    if (!onLine) onLine = std::make_unique<TenThousand>("udpport=\"\" tcpport=\"5000\" mode=\"0\" usr=\"\" pwd=\"\"", true);
    TenThousand& w = *onLine;
    size_t rows = 0;
    w.form->core().withRows([&](const auto& r, const auto&) { rows = r.size(); });
    if (rows != 10000) state.SkipWithError("rows were not loaded");
    for (auto _ : state) {
        w.form->TimerRuningTimer();
        w.form->VSPListView->viewport()->repaint();
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_RefreshTick10k)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Each DTU is queried at most four times, on every other tick: 12 ticks
// hold every tick that queries. max_ms is the longest hold of the window.
static void BM_FastRelayTick10kOffline(benchmark::State& state) {
    if (!offLine)
        offLine = std::make_unique<TenThousand>(
            "udpport=\"" + std::to_string(freeUdpPort()) + "\" tcpport=\"\" mode=\"1\" usr=\"u\" pwd=\"p\"", false);
    TenThousand& w = *offLine;
    double longest = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        w.form->TimerRuningTimer();
        w.form->VSPListView->viewport()->repaint();
        longest = std::max(longest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    state.counters["max_ms"] = longest;
}
BENCHMARK(BM_FastRelayTick10kOffline)->Unit(benchmark::kMillisecond)->Iterations(12);

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    onLine.reset();
    offLine.reset();
    return 0;
}
