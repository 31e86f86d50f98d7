// Process entry: single instance, the window, the message loop, and one
// orderly end for SIGTERM, SIGINT and exceptions that reach the top.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <exception>

#include "app/SingleInstance.h"
#include "ui/Formmain.h"
#include "ui/QtMessageSink.h"

namespace {
int sigPipe[2] = {-1, -1};
TMainForm* theForm = nullptr;   // set once the window exists
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

class Application : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            fatal(std::current_exception());
        }
    }
};
}  // namespace

int main(int argc, char** argv) {
    const char* const instanceName = "__Vardo_Mobile_VSP__";
    SingleInstance instance(instanceName);
    if (!instance.acquired()) {
        SingleInstance::wakeHolder(instanceName);
        std::fputs("A Vardo Mobile Virtual Serial Port Manager is already running; its window is brought to the front.\n",
                   stderr);
        return -1;
    }

    Application app(argc, argv);
    // The signal only wakes whichever event loop runs (the main one, or a
    // message box's or dialog's); the end runs on the window's thread.
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sigPipe);
    QSocketNotifier notifier(sigPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] { endNow(0); });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // Where no handler catches (a thread of the manager), the line still goes out.
    std::set_terminate([] {
        std::fprintf(stderr, "vsp-manager: %s\n", describe(std::current_exception()).c_str());
        std::abort();
    });

    try {
        QtMessageSink boxes;
        SystemClock clock;
        ManagerOptions opts;
        opts.relayHost = VSP_RELAY_HOST;
        opts.relayBuiltinIp = VSP_RELAY_ADDR;
        TMainForm form(QCoreApplication::applicationDirPath(), boxes, clock, opts);
        boxes.setParent(&form);
        theBoxes = &boxes;
        theForm = &form;
        form.FormCreate();
        if (form.core().terminateRequested) endNow(0);
        // A second copy asks for the window: the close box only minimised it.
        QSocketNotifier wake(instance.fd(), QSocketNotifier::Read);
        QObject::connect(&wake, &QSocketNotifier::activated, &form, [&] {
            while (instance.takeRequest()) form.bringToFront();
        });
        form.show();
        return app.exec();  // the form's destruction runs the shutdown
    } catch (...) {
        fatal(std::current_exception());
    }
}
