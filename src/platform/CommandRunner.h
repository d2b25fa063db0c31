#pragma once
// Runs a user's command (argument list, no shell) in the background: the caller never waits.
// Each command gets its own process group, /dev/null for its input and output, and is killed
// with everything it started once it runs longer than the time limit.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace norvale {

class CommandRunner {
public:
    struct Outcome {
        bool started = false; // false: the program could not be run (error says why)
        int exitCode = -1;    // when it exited normally
        bool killed = false;  // ran past the time limit
        int signal = 0;       // the signal that ended it, if one did
        std::string error;
        bool succeeded() const { return started && !killed && signal == 0 && exitCode == 0; }
    };
    using Done = std::function<void(const Outcome&)>;

    explicit CommandRunner(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Kills whatever still runs and waits for it.
    ~CommandRunner();
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    // Starts `argv` (looked up on PATH) and returns at once; `done` runs on the runner's own
    // thread when the command has ended, or at once when it could not start.
    void run(const std::vector<std::string>& argv, Done done);
    // Commands still running.
    int running() const;

private:
    struct Child {
        std::chrono::steady_clock::time_point deadline;
        bool killed = false;
        Done done;
    };
    void watch();

    std::chrono::milliseconds limit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Child> children_; // by pid
    bool stopping_ = false;
    std::thread watcher_;
};

} // namespace norvale
