#pragma once
// Test helpers for the LAN scanner: a tiny NetBIOS node that answers on loopback addresses
// (127.0.0.2 and up; Linux routes all of 127.0.0.0/8 to lo), answer builders, and an event
// loop runner with a bound. Nothing here sends to an address outside 127.0.0.0/8.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace norvale::test {

using Bytes = std::vector<std::uint8_t>;

struct NameEntry {
    std::string name;
    std::uint8_t suffix;
    bool group;
};

// A node-status answer as a Windows host sends it.
inline Bytes nodeStatusAnswer(const std::vector<NameEntry>& names,
                              const Bytes& mac = {0x00, 0x0C, 0x29, 0x3A, 0x5B, 0x7F}) {
    Bytes d = {0x00, 0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x20};
    d.push_back('C');
    d.push_back('K');
    d.insert(d.end(), 30, 'A');
    d.insert(d.end(), {0x00, 0x00, 0x21, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    d.push_back(static_cast<std::uint8_t>(names.size()));
    for (const auto& e : names) {
        std::string n = e.name;
        n.resize(15, ' ');
        d.insert(d.end(), n.begin(), n.end());
        d.insert(d.end(), {e.suffix, static_cast<std::uint8_t>(e.group ? 0x84 : 0x04), 0x00});
    }
    d.insert(d.end(), mac.begin(), mac.end());
    d.insert(d.end(), 40, 0x00);
    return d;
}

inline Bytes computerAnswer(const std::string& computer, const std::string& user,
                            const std::string& group,
                            const Bytes& mac = {0x00, 0x0C, 0x29, 0x3A, 0x5B, 0x7F}) {
    return nodeStatusAnswer({{computer, 0x00, false},
                             {computer, 0x20, false},
                             {group, 0x00, true},
                             {group, 0x1E, true},
                             {computer, 0x03, false},
                             {user, 0x03, false}},
                            mac);
}

struct ReceivedRequest {
    std::string host; // the loopback address it was sent to
    Bytes data;
};

// Listens on 127.0.0.2 .. 127.0.0.(1 + hosts), all on one UDP port, and answers the hosts it was
// told to answer; every other host stays silent but still records what it got.
class LoopbackResponder {
public:
    explicit LoopbackResponder(int hosts) {
        for (int attempt = 0; attempt < 20 && sockets_.empty(); ++attempt)
            tryBind(hosts);
        if (sockets_.empty())
            throw std::runtime_error("no loopback port for the responder");
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackResponder() {
        stop_ = true;
        thread_.join();
        for (auto& s : sockets_)
            ::close(s.fd);
    }

    std::uint16_t port() const { return port_; }

    // `host` answers each request with `reply`, `times` times.
    void answer(const std::string& host, Bytes reply, int times = 1) {
        std::lock_guard g(mutex_);
        replies_[host] = {std::move(reply), times};
    }
    std::vector<ReceivedRequest> received() const {
        std::lock_guard g(mutex_);
        return received_;
    }

private:
    struct Socket {
        int fd;
        std::string host;
    };

    void tryBind(int hosts) {
        std::vector<Socket> bound;
        std::uint16_t port = 0;
        for (int i = 0; i < hosts; ++i) {
            const std::string host = "127.0.0." + std::to_string(2 + i);
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = inet_addr(host.c_str());
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                if (fd >= 0)
                    ::close(fd);
                for (auto& s : bound)
                    ::close(s.fd);
                return;
            }
            if (port == 0) {
                socklen_t len = sizeof a;
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
                port = ntohs(a.sin_port);
            }
            bound.push_back({fd, host});
        }
        sockets_ = std::move(bound);
        port_ = port;
    }

    void run() {
        std::vector<pollfd> fds;
        for (auto& s : sockets_)
            fds.push_back({s.fd, POLLIN, 0});
        while (!stop_) {
            if (::poll(fds.data(), fds.size(), 10) <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                std::uint8_t buf[2048];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fds[i].fd, buf, sizeof buf, 0,
                                             reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0)
                    continue;
                Bytes reply;
                int times = 0;
                {
                    std::lock_guard g(mutex_);
                    received_.push_back({sockets_[i].host, Bytes(buf, buf + n)});
                    auto it = replies_.find(sockets_[i].host);
                    if (it != replies_.end()) {
                        reply = it->second.first;
                        times = it->second.second;
                    }
                }
                // Only ever back to a loopback sender.
                if ((ntohl(from.sin_addr.s_addr) >> 24) != 127)
                    continue;
                for (int t = 0; t < times; ++t)
                    ::sendto(fds[i].fd, reply.data(), reply.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), len);
            }
        }
    }

    std::vector<Socket> sockets_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<Bytes, int>> replies_;
    std::vector<ReceivedRequest> received_;
    std::thread thread_;
};

// A UDP port that was free a moment ago, for the scanner's local side.
inline std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Holds a UDP port on all interfaces, so a scanner cannot bind it.
class PortBlocker {
public:
    PortBlocker() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~PortBlocker() { release(); }
    void release() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Serves the event loop until `done` holds or `limitMs` has passed; returns `done()`.
inline bool spinUntil(const std::function<bool()>& done, int limitMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // wakes the loop now and then so the limit is noticed
    tick.start(5);
    while (!done() && clock.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

} // namespace norvale::test
