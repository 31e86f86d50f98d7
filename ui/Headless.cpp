#include "ui/Headless.h"

#include <QCoreApplication>

HeadlessManager::HeadlessManager(const std::string& folder, Clock& clock, ManagerOptions opts) {
    opts.cfgFileName = folder + "/Config.xml";
    core_ = std::make_unique<Manager>(router_, clock, std::move(opts));
    logonTimer_.setInterval(1000);
    runTimer_.setInterval(1000);
    connect(&logonTimer_, &QTimer::timeout, this, [this] {
        core_->TimerLogonTOTimer();
        sync();
    });
    connect(&runTimer_, &QTimer::timeout, this, [this] {
        core_->TimerRuningTimer();
        sync();
    });
}

HeadlessManager::~HeadlessManager() { core_->FormDestroy(); }

bool HeadlessManager::FormCreate() {
    core_->FormCreate();
    if (core_->terminateRequested) return false;
    sync();
    return true;
}

void HeadlessManager::sync() {
    Manager& c = *core_;
    if (c.timerRuningEnabled != runTimer_.isActive()) c.timerRuningEnabled ? runTimer_.start() : runTimer_.stop();
    if (c.timerLogonTOEnabled != logonTimer_.isActive()) c.timerLogonTOEnabled ? logonTimer_.start() : logonTimer_.stop();
    if (c.terminateRequested) QCoreApplication::exit(1);
}
