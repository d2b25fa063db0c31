#include "ServedCameras.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace norvale {

namespace {

struct Query {
    int number = 0;
    int fd = -1;
    std::string request; // what is left to send
    std::string answer;  // the status line, once it is in
    bool done = false;
    ~Query() {
        if (fd >= 0)
            ::close(fd);
    }
    void finish() {
        done = true;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

bool answeredOk(const std::string& answer) {
    // "HTTP/1.x 200 ..."
    const auto space = answer.find(' ');
    return answer.rfind("HTTP/", 0) == 0 && space != std::string::npos &&
           answer.compare(space + 1, 3, "200") == 0;
}

} // namespace

std::string servedCameraUrl(const std::string& host, int port, int number) {
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/camera/" +
           std::to_string(number);
}

std::vector<int> servedCameras(const std::string& host, int port, int first, int last,
                               std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::vector<int> found;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (host.empty() || port <= 0 || port > 65535 ||
        getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &raw) != 0 || !raw)
        return found;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> address(raw, freeaddrinfo);

    // A few at a time: a Norvale answers at most 32 connections that are not yet streams and
    // drops the oldest of more, which would be the first cameras asked.
    constexpr std::size_t AtOnce = 8;
    std::vector<std::unique_ptr<Query>> queries;
    int next = first;
    auto open = [&] {
        auto q = std::make_unique<Query>();
        q->number = next++;
        q->request = "HEAD /camera/" + std::to_string(q->number) + " HTTP/1.0\r\nHost: " + host +
                     "\r\nConnection: close\r\n\r\n";
        q->fd = ::socket(raw->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (q->fd < 0 ||
            (::connect(q->fd, raw->ai_addr, raw->ai_addrlen) != 0 && errno != EINPROGRESS))
            q->finish();
        queries.push_back(std::move(q));
    };
    for (;;) {
        // Finished questions make room for the next ones.
        queries.erase(
            std::remove_if(queries.begin(), queries.end(), [](const auto& q) { return q->done; }),
            queries.end());
        while (queries.size() < AtOnce && next <= last)
            open();
        std::vector<pollfd> polls;
        std::vector<Query*> polled;
        for (auto& q : queries) {
            if (q->done)
                continue;
            polls.push_back({q->fd, static_cast<short>(q->request.empty() ? POLLIN : POLLOUT), 0});
            polled.push_back(q.get());
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || (polls.empty() && next > last))
            break;
        if (polls.empty())
            continue; // every one just opened failed at once: the next ones
        const int ready = ::poll(polls.data(), polls.size(), static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; ready > 0 && i < polls.size(); ++i) {
            Query& q = *polled[i];
            const short events = polls[i].revents;
            if (events == 0)
                continue;
            if (!q.request.empty()) {
                int error = 0;
                socklen_t len = sizeof error;
                ::getsockopt(q.fd, SOL_SOCKET, SO_ERROR, &error, &len);
                const ssize_t sent =
                    error ? -1 : ::send(q.fd, q.request.data(), q.request.size(), MSG_NOSIGNAL);
                if (sent < 0) {
                    if (errno != EAGAIN || error)
                        q.finish();
                    continue;
                }
                q.request.erase(0, static_cast<std::size_t>(sent));
                continue;
            }
            char buf[256];
            const ssize_t got = ::recv(q.fd, buf, sizeof buf, 0);
            if (got < 0 && errno == EAGAIN)
                continue;
            if (got > 0)
                q.answer.append(buf, static_cast<std::size_t>(got));
            // The status line is all that is wanted.
            if (got <= 0 || q.answer.find('\n') != std::string::npos || q.answer.size() > 1024) {
                if (answeredOk(q.answer))
                    found.push_back(q.number);
                q.finish();
            }
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace norvale
