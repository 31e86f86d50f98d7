#include "app/RecordFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {
// Records waiting before the writer is woken at once; below that it looks
// every 50 ms, so that a busy data path does not pay a wake-up per packet.
constexpr size_t WAKE_AT = 256;
constexpr auto LOOK_EVERY = std::chrono::milliseconds(50);
}  // namespace

std::unique_ptr<RecordFile> RecordFile::create(const std::string& path, const std::string& what, std::string header,
                                               Format format, std::string& error) {
    // For the user alone: relay packets carry the relay credentials.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "vsp-manager: " + what + " " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<RecordFile>(new RecordFile(fd, path, what, std::move(header), std::move(format)));
}

RecordFile::RecordFile(int fd, std::string path, std::string what, std::string header, Format format)
    : fd_(fd), path_(std::move(path)), what_(std::move(what)), format_(std::move(format)), header_(std::move(header)) {
    thread_ = std::thread([this] { run(); });
}

RecordFile::~RecordFile() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stopping_ = true;
    }
    cv_.notify_one();
    thread_.join();
    ::close(fd_);
    dropped_ += queue_.size();  // left behind by a failed write
    if (dropped_ > 0)
        std::fprintf(stderr, "vsp-manager: %s %s: %llu records not written\n", what_.c_str(), path_.c_str(),
                     static_cast<unsigned long long>(dropped_.load()));
}

void RecordFile::push(TapRecord r) {
    if (failed_.load(std::memory_order_relaxed)) {
        ++dropped_;
        return;
    }
    const size_t cost = r.bytes.size() + sizeof r;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (queuedBytes_ + cost > QUEUE_LIMIT) {
            ++dropped_;
            return;
        }
        queuedBytes_ += cost;
        queue_.push_back(std::move(r));
        wake = queue_.size() == WAKE_AT;
    }
    if (wake) cv_.notify_one();
}

bool RecordFile::writeAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const char* why = n < 0 ? std::strerror(errno) : "nothing written";
            std::fprintf(stderr, "vsp-manager: %s %s: %s; nothing more is written to it\n", what_.c_str(),
                         path_.c_str(), why);
            failed_ = true;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void RecordFile::run() {
    std::string out;
    if (!writeAll(header_)) return;
    std::vector<TapRecord> batch;
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait_for(lk, LOOK_EVERY, [this] { return stopping_ || queue_.size() >= WAKE_AT; });
            batch.swap(queue_);
            queuedBytes_ = 0;
            last = stopping_;
        }
        out.clear();
        for (const TapRecord& r : batch) format_(r, out);
        if (!out.empty() && !writeAll(out)) {
            dropped_ += batch.size();
            return;
        }
        written_ += batch.size();
        batch.clear();
        if (last) return;
    }
}
