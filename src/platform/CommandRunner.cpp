#include "CommandRunner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace norvale {

namespace {

// The watcher sleeps in poll() on one descriptor per child: a pidfd becomes readable when its
// process ends.
int openPidFd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

CommandRunner::CommandRunner(std::chrono::milliseconds limit) : limit_(limit) {
    watcher_ = std::thread([this] { watch(); });
}

CommandRunner::~CommandRunner() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [pid, child] : children_) {
            ::kill(-pid, SIGKILL);
            child.killed = true;
        }
    }
    changed_.notify_all();
    watcher_.join();
}

int CommandRunner::running() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(children_.size());
}

void CommandRunner::run(const std::vector<std::string>& argv, Done done) {
    Outcome failed;
    if (argv.empty()) {
        failed.error = "no command";
        if (done)
            done(failed);
        return;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so the time limit also ends what the command started; default
    // signal handling and mask, whatever ours are.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &files, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        failed.error = argv[0] + ": " + std::strerror(rc);
        if (done)
            done(failed);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        children_[pid] = Child{std::chrono::steady_clock::now() + limit_, false, std::move(done)};
    }
    changed_.notify_all();
}

void CommandRunner::watch() {
    std::map<int, int> pidFds; // pid → pidfd
    std::unique_lock lock(mutex_);
    for (;;) {
        if (children_.empty()) {
            if (stopping_)
                return;
            changed_.wait(lock, [this] { return stopping_ || !children_.empty(); });
            continue;
        }
        // Descriptors for new children; the nearest deadline decides how long to sleep.
        std::vector<pollfd> fds;
        auto nearest = std::chrono::steady_clock::time_point::max();
        for (auto& [pid, child] : children_) {
            if (!pidFds.count(pid))
                pidFds[pid] = openPidFd(pid);
            if (pidFds[pid] >= 0)
                fds.push_back({pidFds[pid], POLLIN, 0});
            if (!child.killed)
                nearest = std::min(nearest, child.deadline);
        }
        lock.unlock();
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            nearest - std::chrono::steady_clock::now());
        // A new child or a stop must not wait for the current sleep to run out.
        const int timeout = nearest == std::chrono::steady_clock::time_point::max()
                                ? 100
                                : static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
        ::poll(fds.data(), fds.size(), timeout);
        lock.lock();

        const auto now = std::chrono::steady_clock::now();
        for (auto it = children_.begin(); it != children_.end();) {
            const pid_t pid = it->first;
            Child& child = it->second;
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == 0) {
                if (!child.killed && now >= child.deadline) {
                    ::kill(-pid, SIGKILL);
                    child.killed = true;
                }
                ++it;
                continue;
            }
            Outcome outcome;
            outcome.started = true;
            outcome.killed = child.killed;
            if (r == pid && WIFEXITED(status))
                outcome.exitCode = WEXITSTATUS(status);
            else if (r == pid && WIFSIGNALED(status))
                outcome.signal = WTERMSIG(status);
            else
                outcome.error = std::strerror(errno);
            if (pidFds.count(pid)) {
                if (pidFds[pid] >= 0)
                    ::close(pidFds[pid]);
                pidFds.erase(pid);
            }
            Done done = std::move(child.done);
            it = children_.erase(it);
            if (done) {
                lock.unlock();
                done(outcome);
                lock.lock();
                it = children_.lower_bound(pid); // the map may have changed meanwhile
            }
        }
    }
}

} // namespace norvale
