#pragma once
// HTTP MJPEG cameras on loopback for tests: ffmpeg serving a test picture as multipart JPEG (one
// connection per server, as ffmpeg's -listen 1 does), one of our own that serves any number of
// connections, and whether a port listens yet.
#include "capture/GreyGrabber.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace norvale::test {

// Whether something listens on TCP `port` of this machine.
inline bool listening(int port) {
    std::ifstream tcp("/proc/net/tcp");
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    for (std::string line; std::getline(tcp, line);)
        if (line.find(std::string(hex) + " ") != std::string::npos &&
            line.find(" 0A ") != std::string::npos)
            return true;
    return false;
}

class MjpegHttpServer {
public:
    explicit MjpegHttpServer(int port) {
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        std::vector<std::string> args{
            "ffmpeg",  "-loglevel", "quiet", "-re",
            "-f",      "lavfi",     "-i",    "testsrc=size=320x240:rate=10",
            "-f",      "mpjpeg",    "-q:v",  "5",
            "-listen", "1",         url};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~MjpegHttpServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    MjpegHttpServer(const MjpegHttpServer&) = delete;
    MjpegHttpServer& operator=(const MjpegHttpServer&) = delete;
    bool running() const { return pid_ > 0; }
    // Waits (bounded) until ffmpeg listens.
    bool ready(int port) const {
        for (int i = 0; i < 200 && running() && !listening(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return listening(port);
    }

private:
    pid_t pid_ = -1;
};

// Serves a grey picture that changes with every part, as multipart JPEG at about `fps` parts a
// second, to every connection: a camera that can be opened again and again, as a real one can.
class MultiClientMjpegServer {
public:
    explicit MultiClientMjpegServer(int fps = 10) : gapMs_(1000 / fps) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 8) != 0)
            return;
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        for (int i = 0; i < 2; ++i) {
            std::vector<std::uint8_t> grey(320 * 240);
            for (std::size_t p = 0; p < grey.size(); ++p)
                grey[p] = static_cast<std::uint8_t>((p % 320 + 40 * i) & 0xFF);
            pictures_.push_back(EncodeGreyJpeg(GreyView{grey.data(), 320, 240, 320}, 80));
        }
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~MultiClientMjpegServer() {
        stop_ = true;
        if (acceptor_.joinable())
            acceptor_.join();
        for (auto& t : clients_)
            t.join();
        ::close(listener_);
    }
    MultiClientMjpegServer(const MultiClientMjpegServer&) = delete;
    MultiClientMjpegServer& operator=(const MultiClientMjpegServer&) = delete;
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    void acceptLoop() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients_.emplace_back([this, fd] { serve(fd); });
        }
    }
    void serve(int fd) {
        char request[2048];
        [[maybe_unused]] auto got = ::recv(fd, request, sizeof request, 0);
        const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; "
                                 "boundary=frame\r\n\r\n";
        bool ok = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0;
        for (std::size_t n = 0; ok && !stop_; ++n) {
            const auto& jpeg = pictures_[n % pictures_.size()];
            const std::string part = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                     std::to_string(jpeg.size()) + "\r\n\r\n";
            ok = ::send(fd, part.data(), part.size(), MSG_NOSIGNAL) > 0 &&
                 ::send(fd, jpeg.data(), jpeg.size(), MSG_NOSIGNAL) > 0 &&
                 ::send(fd, "\r\n", 2, MSG_NOSIGNAL) > 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs_)); // the camera's pace
        }
        ::close(fd);
    }

    int gapMs_;
    int listener_ = -1;
    int port_ = 0;
    std::vector<std::vector<std::uint8_t>> pictures_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> clients_; // the acceptor's alone until it is joined
};

} // namespace norvale::test
