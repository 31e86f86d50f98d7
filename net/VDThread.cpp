#include "net/VDThread.h"

#include <chrono>

VDThread::~VDThread() { release(); }

void VDThread::release() {
    if (handle_.joinable()) {
        bool done;
        {
            std::lock_guard<std::mutex> lk(state_->m);
            done = state_->done;
        }
        if (done)
            handle_.join();
        else
            handle_.detach();
    }
    state_.reset();
}

void VDThread::Start(Entry entry, void* arg) {
    release();  // an earlier run's handle is given up before the new one
    entry_ = entry;
    arg_ = arg;
    auto st = std::make_shared<State>();
    try {
        handle_ = std::thread([st, entry, arg] {
            entry(arg);
            std::lock_guard<std::mutex> lk(st->m);
            st->done = true;
            st->cv.notify_all();
        });
        state_ = st;
    } catch (const std::system_error&) {
        state_.reset();
    }
}

bool VDThread::Wait(uint32_t timeoutMs) {
    if (!state_) return true;
    std::unique_lock<std::mutex> lk(state_->m);
    auto pred = [&] { return state_->done; };
    if (timeoutMs == INFINITE)
        state_->cv.wait(lk, pred);
    else if (!state_->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), pred))
        return false;
    lk.unlock();
    if (handle_.joinable()) handle_.join();
    return true;
}
