#include "ui/ControlServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include "ui/Widgets.h"

bool pumpEvents() {
    pumpEvents50ms();
    return true;
}

ControlServer::ControlServer(SingleInstance& instance, Control& control, std::function<void()> onWake,
                             std::function<void()> afterCommand, QObject* parent)
    : QObject(parent),
      instance_(instance),
      control_(control),
      onWake_(std::move(onWake)),
      afterCommand_(std::move(afterCommand)),
      notifier_(instance.fd(), QSocketNotifier::Read) {
    connect(&notifier_, &QSocketNotifier::activated, this, [this] { serve(); });
}

void ControlServer::serve() {
    // A command that waits for a DTU lets events run: the next request
    // waits until this one is answered.
    notifier_.setEnabled(false);
    std::string request;
    bool allowed = false;
    for (int c; (c = instance_.takeRequest(request, allowed)) >= 0; close(c)) {
        ControlReply reply;
        if (!allowed) {
            reply.status = 77;
            reply.err = "vsp-manager: only the manager's own user (or root) may control it\n";
        } else if (request.size() > SingleInstance::MAX_REQUEST) {
            reply.status = 2;
            reply.err = "vsp-manager: the command is too long\n";
        } else if (request.empty()) {
            if (onWake_) onWake_();
            continue;
        } else {
            reply = control_.run(decodeRequest(request));
            if (afterCommand_) afterCommand_();
        }
        const std::string bytes = encodeReply(reply);
        send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    notifier_.setEnabled(true);
}
