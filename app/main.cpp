// Process entry: single instance, the window, the message loop, and one
// orderly end for SIGTERM, SIGINT and exceptions that reach the top.
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <exception>

#include "app/Control.h"
#include "app/SingleInstance.h"
#include "app/TrafficFiles.h"
#include "ui/ControlServer.h"
#include "ui/Formmain.h"
#include "ui/Headless.h"
#include "ui/QtMessageSink.h"
#include "vsp/PtyPort.h"

namespace {
int sigPipe[2] = {-1, -1};
TMainForm* theForm = nullptr;   // set once the window exists
HeadlessManager* theService = nullptr;  // or the manager without one
QtMessageSink* theBoxes = nullptr;

void onSignal(int) {
    char c = 1;
    (void)!write(sigPipe[1], &c, 1);
}

// Ports closed, links removed, socket stopped; then the process leaves from
// wherever it is (a start-up message, a modal dialog, an exit question)
// without returning into code that would go on with start-up or the dialog.
[[noreturn]] void endNow(int status) {
    if (theForm) theForm->core().FormDestroy();
    if (theService) theService->core().FormDestroy();
    std::fflush(stderr);
    _exit(status);
}

std::string describe(std::exception_ptr e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
    }
    return "unknown exception";
}

// An exception that reached the top: one line, a box when there is a window, the orderly end.
[[noreturn]] void fatal(std::exception_ptr e) {
    static bool failing = false;
    const std::string what = describe(e);
    std::fprintf(stderr, "vsp-manager: %s\n", what.c_str());
    if (theForm && theBoxes && !failing) {
        failing = true;  // a second failure while the box is open ends at once
        theBoxes->show(what, "Error", MsgIcon::Error, MsgButtons::Ok);
    }
    endNow(1);
}

template <class App>
class Guarded : public App {
public:
    using App::App;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return App::notify(receiver, event);
        } catch (...) {
            fatal(std::current_exception());
        }
    }
};

const char* const INSTANCE = "__Vardo_Mobile_VSP__";
const char* const USAGE =
    "Usage: vsp-manager [--headless] [--dir DIR] [--port-group GROUP] [--port-mode MODE]\n"
    "                   [--capture FILE] [--serial-log FILE] [--monitor]\n"
    "       vsp-manager COMMAND [ARGS]   (list, create, delete, select, deselect, save-select,\n"
    "                                     state, restart, wine-map; COMMAND --help for more)\n"
    "  --headless          no window (also when no display can be opened)\n"
    "  --dir DIR           folder of Config.xml and ports/ (default: beside the program when\n"
    "                      writable, else $XDG_DATA_HOME/vsp-manager)\n"
    "  --port-group GROUP  group of the ports' terminals, e.g. dialout\n"
    "  --port-mode MODE    their mode in octal, e.g. 0660\n"
    "  --capture FILE      write every datagram sent and received to FILE (pcap)\n"
    "  --serial-log FILE   write what passes each port's serial side to FILE (text)\n"
    "  --monitor           open the traffic monitor with the window\n";

struct Options {
    bool headless = false;
    bool monitor = false;
    std::string dir;
    std::string capture, serialLog;
    PtyAccess access;
};

// 0: go on; otherwise the exit status (2 for bad options, 0 for --help).
int parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help") {
            std::fputs(USAGE, stdout);
            return -1;
        } else if (a == "--headless") {
            o.headless = true;
        } else if (a == "--monitor") {
            o.monitor = true;
        } else if (a == "--dir" && hasValue) {
            o.dir = argv[++i];
        } else if (a == "--capture" && hasValue) {
            o.capture = argv[++i];
        } else if (a == "--serial-log" && hasValue) {
            o.serialLog = argv[++i];
        } else if (a == "--port-group" && hasValue) {
            const char* name = argv[++i];
            group* g = getgrnam(name);
            if (!g) {
                std::fprintf(stderr, "vsp-manager: no group %s\n", name);
                return 2;
            }
            o.access.group = static_cast<int>(g->gr_gid);
        } else if (a == "--port-mode" && hasValue) {
            char* end = nullptr;
            long m = std::strtol(argv[++i], &end, 8);
            if (*end || m < 0 || m > 07777) {
                std::fprintf(stderr, "vsp-manager: --port-mode takes an octal mode such as 0660\n");
                return 2;
            }
            o.access.mode = static_cast<int>(m);
        } else {
            std::fprintf(stderr, "vsp-manager: unknown option %s\n%s", a.c_str(), USAGE);
            return 2;
        }
    }
    return 0;
}

// Beside the program when that folder is writable (the classic layout),
// else the user's data folder.
std::string chooseFolder(const std::string& given) {
    std::string dir = given;
    if (dir.empty()) {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            exe[n] = 0;
            dir = exe;
            dir.erase(dir.rfind('/'));
        }
        if (dir.empty() || access(dir.c_str(), W_OK) != 0) {
            const char* xdg = std::getenv("XDG_DATA_HOME");
            const char* home = std::getenv("HOME");
            std::string base = xdg && *xdg ? xdg : std::string(home ? home : "") + "/.local/share";
            dir = base + "/vsp-manager";
        }
    }
    if (dir[0] != '/') {  // links to the ports must hold from anywhere
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) dir = std::string(cwd) + "/" + dir;
    }
    // Made with its parents, as `mkdir -p` does.
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        mkdir(dir.substr(0, at).c_str(), 0755);
        if (at == std::string::npos) break;
    }
    return dir;
}

bool isCommand(const std::string& a) {
    for (const char* c : {"list", "create", "delete", "select", "deselect", "save-select", "state", "restart", "wine-map"})
        if (a == c) return true;
    return false;
}

// `vsp-manager wine-map [PREFIX]`: Windows programs under Wine see COMn.
int wineMap(const std::vector<std::string>& args, ControlReply& ports) {
    std::string prefix = args.size() > 1 ? args[1] : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.wine";
    const std::string devices = prefix + "/dosdevices";
    mkdir(prefix.c_str(), 0755);
    mkdir(devices.c_str(), 0755);
    int status = 0;
    size_t at = 0;
    while (at < ports.out.size()) {
        size_t end = ports.out.find('\n', at);
        std::string line = ports.out.substr(at, end - at);
        at = end == std::string::npos ? ports.out.size() : end + 1;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string name = "com" + line.substr(3, tab - 3), target = line.substr(tab + 1);
        std::string link = devices + "/" + name;
        struct stat st{};
        if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
        if (symlink(target.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "vsp-manager wine-map: %s: %s\n", link.c_str(), std::strerror(errno));
            status = 1;
            continue;
        }
        std::printf("%s -> %s\n", link.c_str(), target.c_str());
    }
    return status;
}

// `vsp-manager COMMAND ...`: carried out by the running manager.
int runCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool wine = args[0] == "wine-map";
    if (wine && args.size() > 1 && args[1] == "--help") {
        std::fputs("usage: vsp-manager wine-map [PREFIX]   links PREFIX/dosdevices/comN to each port (default ~/.wine)\n", stdout);
        return 0;
    }
    std::string bytes;
    if (!SingleInstance::request(INSTANCE, encodeRequest(wine ? std::vector<std::string>{"ports"} : args), &bytes)) {
        std::fputs("vsp-manager: no manager is running\n", stderr);
        return 1;
    }
    ControlReply r;
    if (!decodeReply(bytes, r)) {
        std::fputs("vsp-manager: the manager gave no answer\n", stderr);
        return 1;
    }
    if (wine && r.status == 0) return wineMap(args, r);
    std::fputs(r.out.c_str(), stdout);
    std::fputs(r.err.c_str(), stderr);
    return r.status;
}

void printPorts(Manager& core, const std::string& folder) {
    std::printf("vsp-manager: folder %s\n", folder.c_str());
    core.withRows([&](const auto&, const std::vector<int>& groups) {
        for (int g : groups) std::printf("COM%d: %s/ports/COM%d\n", g, folder.c_str(), g);
    });
    std::fflush(stdout);
}

void installSignals(QCoreApplication& app, QSocketNotifier*& notifier) {
    // The signal only wakes whichever event loop runs (the main one, or a
    // message box's or dialog's); the end runs on the event loop's thread.
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sigPipe);
    notifier = new QSocketNotifier(sigPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { endNow(0); });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

// The files asked for on the command line, made before start-up so that the
// relay logon is in them too. False (its line written) when one cannot be made.
bool startRecording(Manager& core, const Options& o) {
    std::string error;
    if (!o.capture.empty()) {
        auto f = openCapture(o.capture, error);
        if (!f) return std::fprintf(stderr, "%s\n", error.c_str()), false;
        core.traffic().setCapture(std::move(f));
    }
    if (!o.serialLog.empty()) {
        auto f = openSerialLog(o.serialLog, error);
        if (!f) return std::fprintf(stderr, "%s\n", error.c_str()), false;
        core.traffic().setSerialLog(std::move(f));
    }
    return true;
}

bool displayAvailable() {
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* s = std::getenv(v); s && *s) return true;
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && isCommand(argv[1])) return runCommand(argc, argv);
    Options opt;
    if (int r = parseOptions(argc, argv, opt)) return r < 0 ? 0 : r;

    SingleInstance instance(INSTANCE);
    if (!instance.acquired()) {
        SingleInstance::request(INSTANCE, "", nullptr);
        std::fputs("A Vardo Mobile Virtual Serial Port Manager is already running; its window is brought to the front.\n",
                   stderr);
        return -1;
    }
    // Where no handler catches (a thread of the manager), the line still goes out.
    std::set_terminate([] {
        std::fprintf(stderr, "vsp-manager: %s\n", describe(std::current_exception()).c_str());
        std::abort();
    });
    const std::string folder = chooseFolder(opt.dir);
    SystemClock clock;
    ManagerOptions mo;
    mo.relayHost = VSP_RELAY_HOST;
    mo.relayBuiltinIp = VSP_RELAY_ADDR;
    mo.makePort = ptyPortMaker(folder + "/ports", opt.access);
    QSocketNotifier* stopper = nullptr;

    if (opt.headless || !displayAvailable()) {
        if (opt.monitor) {
            std::fputs("vsp-manager: --monitor needs the window (a display)\n", stderr);
            return 2;
        }
        Guarded<QCoreApplication> app(argc, argv);
        installSignals(app, stopper);
        try {
            HeadlessManager service(folder, clock, mo);
            theService = &service;
            if (!startRecording(service.core(), opt)) endNow(1);
            // A start-up that ends the program ends it with a failure status.
            if (!service.FormCreate()) endNow(1);
            printPorts(service.core(), folder);
            Control control(service.core(), service.router(), folder + "/ports", pumpEvents);
            ControlServer server(instance, control, nullptr, [&] { service.sync(); });
            return app.exec();
        } catch (...) {
            fatal(std::current_exception());
        }
    }

    Guarded<QApplication> app(argc, argv);
    installSignals(app, stopper);
    try {
        QtMessageSink boxes;
        TMainForm form(QString::fromStdString(folder), boxes, clock, mo);
        boxes.setParent(&form);
        theBoxes = &boxes;
        theForm = &form;
        if (!startRecording(form.core(), opt)) endNow(1);
        form.FormCreate();
        if (form.core().terminateRequested) endNow(0);
        printPorts(form.core(), folder);
        // A second copy asks for the window (the close box only minimised
        // it); commands from the shell act as the window's buttons do.
        Control control(form.core(), form.router(), folder + "/ports", pumpEvents);
        ControlServer server(instance, control, [&] { form.bringToFront(); }, [&] { form.refresh(); });
        form.show();
        if (opt.monitor) form.mnuMonitorClick();
        return app.exec();  // the form's destruction runs the shutdown
    } catch (...) {
        fatal(std::current_exception());
    }
}
