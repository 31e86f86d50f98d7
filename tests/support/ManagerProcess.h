#pragma once
// The real manager program, run from a folder of its own (Config.xml and
// ports/ live beside the executable), optionally inside a network namespace.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

class ManagerProcess {
public:
    // Copies the manager into `dir` so that it finds its Config.xml there.
    explicit ManagerProcess(const TempDir& dir) : dir_(dir) {
        std::filesystem::copy_file(VSP_MANAGER_BIN, dir.file("vsp-manager"),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    ~ManagerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // `netns`: run inside that namespace ("" for this one); `extra`: its
    // options; `inChild`: runs in the child before the program (environment, user).
    void start(const std::string& netns = "", const std::vector<std::string>& extra = {},
               const std::function<void()>& inChild = nullptr) {
        std::string exe = dir_.file("vsp-manager");
        std::vector<std::string> args;
        if (!netns.empty()) args = {"ip", "netns", "exec", netns};
        args.push_back(exe);
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            int err = open(dir_.file("stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int out = open(dir_.file("stdout.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 2);
            dup2(out, 1);
            if (inChild) inChild();
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    // Exit status, or -1 when it did not end within the time.
    int wait(int timeoutMs = 10000) {
        for (int i = 0; i < timeoutMs / 10; ++i) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }
    int terminate(int timeoutMs = 10000, int sig = SIGTERM) {
        kill(pid_, sig);
        return wait(timeoutMs);
    }
    bool running() const { return pid_ > 0 && kill(pid_, 0) == 0; }
    std::string log() const { return dir_.read("stderr.log"); }
    std::string out() const { return dir_.read("stdout.log"); }

private:
    const TempDir& dir_;
    pid_t pid_ = -1;
};
