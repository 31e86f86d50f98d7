// Process entry: single instance, the window, the message loop, and an
// orderly shutdown also on SIGTERM and SIGINT.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "app/SingleInstance.h"
#include "ui/Formmain.h"
#include "ui/QtMessageSink.h"

namespace {
int sigPipe[2] = {-1, -1};

void onSignal(int) {
    char c = 1;
    (void)!write(sigPipe[1], &c, 1);
}
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

    QApplication app(argc, argv);
    // The signal only wakes the loop; the shutdown runs on the window's thread.
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sigPipe);
    QSocketNotifier notifier(sigPipe[0], QSocketNotifier::Read);
    // exit(), not quit(): quit() first asks the windows to close, and the
    // main window refuses (its close box only minimises it).
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char c;
        (void)!read(sigPipe[0], &c, 1);
        QCoreApplication::exit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    QtMessageSink boxes;
    SystemClock clock;
    ManagerOptions opts;
    opts.relayHost = VSP_RELAY_HOST;
    opts.relayBuiltinIp = VSP_RELAY_ADDR;
    TMainForm form(QCoreApplication::applicationDirPath(), boxes, clock, opts);
    boxes.setParent(&form);
    form.FormCreate();
    if (form.core().terminateRequested) return 0;  // the form's destruction runs the shutdown
    // A second copy asks for the window: the close box only minimised it.
    QSocketNotifier wake(instance.fd(), QSocketNotifier::Read);
    QObject::connect(&wake, &QSocketNotifier::activated, &form, [&] {
        while (instance.takeRequest()) form.bringToFront();
    });
    form.show();
    return app.exec();
}
