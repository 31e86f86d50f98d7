// The once-a-second refresh of the main window with 10,000 DTU rows: the
// core's supervision tick plus the model update and a repaint of the list.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QTreeView>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ui/Formmain.h"

namespace {
class SilentMessages : public MessageSink {
    MsgAnswer show(const std::string&, const std::string&, MsgIcon, MsgButtons) override { return MsgAnswer::Ok; }
};

struct TenThousand {
    TenThousand() {
        char tmpl[] = "/tmp/vspbench-XXXXXX";
        dir = mkdtemp(tmpl);
        std::ofstream cfg(dir + "/Config.xml");
        cfg << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VSPConfig>\r\n"
               "<Sys udpport=\"\" tcpport=\"5000\" mode=\"0\" usr=\"\" pwd=\"\" />\r\n";  // no socket: nothing to disturb the figure
        for (int p = 1; p <= 100; ++p) {
            cfg << "<CommPort port=\"" << p << "\" netproto=\"0\" appproto=\"1\" serproto=\"2\" cmt=\"\">";
            for (int d = 0; d < 100; ++d)
                cfg << "<DTU id=\"D" << p * 1000 + d << "\" ip=\"10.0." << p << "." << d
                    << ":5000\" cmt=\"row\" devids=\"1,2,3\" sel=\"1\"/>";
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
}  // namespace

static void BM_RefreshTick10k(benchmark::State& state) {
    static TenThousand w;
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

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
