// Asking another computer which cameras it serves: every number at once, bounded in time
// whatever the other side does.
#include "platform/ServedCameras.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace norvale;
using namespace std::chrono_literals;

namespace {

// A loopback HTTP server that answers "200" for the cameras it serves and "404" for others;
// a silent one accepts and never answers.
class Server {
public:
    Server(std::vector<int> served, bool silent) : served_(std::move(served)), silent_(silent) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Server() {
        stop_ = true;
        thread_.join();
        for (int c : clients_)
            ::close(c);
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            clients_.push_back(c);
            if (silent_)
                continue;
            char buf[512] = {};
            const ssize_t n = ::recv(c, buf, sizeof buf - 1, 0);
            int number = 0;
            const bool parsed = n > 0 && std::sscanf(buf, "HEAD /camera/%d", &number) == 1;
            const bool ok =
                parsed && std::find(served_.begin(), served_.end(), number) != served_.end();
            const std::string answer =
                ok ? "HTTP/1.0 200 OK\r\nContent-Type: video/x-ms-asf\r\n\r\n"
                   : "HTTP/1.0 404 Not Found\r\n\r\n";
            ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    }

    std::vector<int> served_;
    bool silent_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<int> clients_;
    std::thread thread_;
};

} // namespace

TEST(ServedCameras, AsksEveryNumberAtOnceWithinItsTime) {
    Server serving({2, 7, 36}, false);
    Server silent({1}, true);
    const int nobody = test::freeTcpPort();
    struct Case {
        const char* why;
        int port;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"serves three", serving.port(), {2, 7, 36}},
        {"accepts and never answers", silent.port(), {}},
        {"nobody listens", nobody, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(servedCameras("127.0.0.1", c.port, 1, 36, 1500ms), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
    }
    EXPECT_TRUE(servedCameras("no-such-host.invalid", serving.port(), 1, 36, 500ms).empty());
    EXPECT_EQ(servedCameraUrl("192.0.2.1", 8801, 4), "http://192.0.2.1:8801/camera/4");
}
