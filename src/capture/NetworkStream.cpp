#include "NetworkStream.h"

#include "GstHandles.h"
#include "GstRuntime.h"
#include "core/AsfStream.h"
#include "core/HttpRequest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace norvale {

namespace {

using Clock = std::chrono::steady_clock;

// Connections whose request is not yet answered. When they are all taken, a new connection
// pushes out the oldest one still sending its request, so idle connections can never keep a
// real viewer out; viewers receiving a stream count only against their camera's MaxUsers.
constexpr std::size_t MaxPendingConnections = 32;
// How long we read what the client still sends after an answer (closing a socket with unread
// input resets the connection and may destroy the answer).
constexpr std::chrono::milliseconds DrainTime{500};
constexpr std::size_t MaxQueuedBytes = 4u << 20;

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// When each stretch of a viewer's stream was queued: (end offset in the stream, time), oldest
// first, in a fixed ring (nothing is allocated per packet). A stretch spans at most a 32nd of the
// stall limit, so the ring covers twice that limit; a viewer further behind is dropped anyway,
// and if the ring is full the newest stretch grows, which can only make the viewer look older.
class QueueTimes {
public:
    void add(std::uint64_t end, Clock::time_point at, Clock::duration stretch) {
        if (count_ > 0) {
            Mark& last = marks_[(first_ + count_ - 1) % marks_.size()];
            if (at - last.at < stretch || count_ == marks_.size()) {
                last.end = end;
                return;
            }
        }
        marks_[(first_ + count_) % marks_.size()] = {end, at};
        ++count_;
    }
    // Forgets the stretches the viewer has taken entirely.
    void taken(std::uint64_t sent) {
        while (count_ > 0 && marks_[first_].end <= sent) {
            first_ = (first_ + 1) % marks_.size();
            --count_;
        }
    }
    // When the oldest byte not yet taken was queued; nothing when all was taken.
    std::optional<Clock::time_point> oldest() const {
        if (count_ == 0)
            return std::nullopt;
        return marks_[first_].at;
    }

private:
    struct Mark {
        std::uint64_t end = 0;
        Clock::time_point at;
    };
    std::array<Mark, 64> marks_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

// One viewer's stream, filled by the streaming thread: its own times and packet numbers start
// at its first key frame. Guarded by the listener's mutex.
struct Viewer {
    bool framed = false;
    bool started = false;
    std::uint32_t baseMs = 0;
    std::uint32_t packetNumber = 0;
    std::string queued;
    std::uint64_t queuedTotal = 0; // bytes queued over the viewer's life, response head included
    QueueTimes times;
    bool dropped = false; // too far behind, or its camera stopped serving

    void noteQueued(Clock::time_point now, Clock::duration stretch) {
        queuedTotal += queued.size() - counted_;
        counted_ = queued.size();
        times.add(queuedTotal, now, stretch);
    }
    // The listener took the queue over (and left an empty string of its own in its place).
    void handedOver() { counted_ = 0; }

private:
    std::size_t counted_ = 0; // of `queued`, already in queuedTotal
};

} // namespace

// A camera's side of a listener: its limit, its header and its viewers. Owned by the camera's
// stream for its whole life and re-attached each time it runs; guarded by the listener's mutex
// while attached, except the counters.
struct StreamChannel {
    int camera = 0;
    unsigned maxUsers = 0;
    bool attached = false;
    unsigned generation = 0; // counts attachments, so a connection of an earlier run is known
    unsigned slots = 0;
    std::string plainHeader, framedHeader;
    std::vector<std::shared_ptr<Viewer>> viewers;
    std::atomic<std::uint64_t> bytesServed{0};
};

namespace {

struct Connection {
    enum class Stage { Reading, WaitingForHeader, Writing, Draining, Streaming };

    int fd = -1;
    Stage stage = Stage::Reading;
    Clock::time_point opened;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    Clock::time_point deadline;
    StreamRequestKind kind = StreamRequestKind::Plain;
    std::uint32_t clientId = 0;
    std::shared_ptr<StreamChannel> channel; // the camera asked for
    unsigned generation = 0;                // of its attachment when asked
    bool holdsSlot = false;
    std::shared_ptr<Viewer> viewer; // while streaming
    std::uint64_t sentTotal = 0;    // of the viewer's stream, taken by the socket
    bool inputClosed = false;       // the viewer has sent all it will
    std::size_t inputDiscarded = 0; // bytes it sent after its request
};

} // namespace

// One listening port, shared by every camera that serves on it: the first camera attached
// answers at any address, each camera also at /camera/N. Its thread reads requests and writes
// every viewer's stream; it never blocks on a viewer.
class StreamListener {
public:
    // The listener on this port, opened when none runs in this process; nothing when the port
    // cannot be opened (typically another program serves on it).
    static std::shared_ptr<StreamListener> acquire(const NetworkStreamOptions& options);
    ~StreamListener();

    void attach(const std::shared_ptr<StreamChannel>& channel);
    void detach(const std::shared_ptr<StreamChannel>& channel);
    // Streaming thread.
    void setHeader(StreamChannel& channel, const std::uint8_t* data, std::size_t size);
    void deliver(StreamChannel& channel, const std::uint8_t* data, std::size_t size, bool key);
    unsigned slots(const StreamChannel& channel) const {
        std::lock_guard lock(mutex_);
        return channel.slots;
    }

    explicit StreamListener(const NetworkStreamOptions& options)
        : options_(options), stretch_(std::max<Clock::duration>(std::chrono::milliseconds(1),
                                                                options.stallTimeout / 32)) {
        std::random_device seed;
        nextClientId_ = seed() % 1000000 + 1;
    }

private:
    bool start();
    void run();
    Clock::time_point now() const { return options_.clock ? options_.clock() : Clock::now(); }
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    void refresh(Clock::time_point now);
    void acceptAll(Clock::time_point now);
    void readRequest(Connection& c, Clock::time_point now);
    void decide(Connection& c, const HttpParseResult& r, Clock::time_point now);
    void answerWhenHeaderKnown(Connection& c, Clock::time_point now);
    void respond(Connection& c, std::string bytes, Clock::time_point now);
    void writeSome(Connection& c, Clock::time_point now);
    void discardInput(Connection& c);
    void readViewerInput(Connection& c, short events);
    void expire(Connection& c, Clock::time_point now);
    void finish(Connection& c);
    std::shared_ptr<StreamChannel> route(int camera) const;

    const NetworkStreamOptions options_;
    const Clock::duration stretch_; // of the viewers' queue times
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::list<Connection> connections_;   // listener thread only
    std::uint32_t nextClientId_ = 1;      // listener thread only
    Clock::time_point acceptPausedUntil_; // listener thread only

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<StreamChannel>> channels_; // in the order they were attached
};

namespace {

std::mutex registryMutex;
std::map<std::uint16_t, std::weak_ptr<StreamListener>>& registry() {
    static std::map<std::uint16_t, std::weak_ptr<StreamListener>> listeners;
    return listeners;
}

} // namespace

std::shared_ptr<StreamListener> StreamListener::acquire(const NetworkStreamOptions& options) {
    std::lock_guard lock(registryMutex);
    auto& listeners = registry();
    if (auto it = listeners.find(options.port); it != listeners.end()) {
        if (std::shared_ptr<StreamListener> running = it->second.lock())
            return running;
        listeners.erase(it);
    }
    auto listener = std::make_shared<StreamListener>(options);
    if (!listener->start())
        return nullptr;
    listeners[options.port] = listener;
    return listener;
}

bool StreamListener::start() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.bindAddress.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        closeFd(fd);
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        closeFd(fd);
        return false;
    }
    listenFd_ = fd;
    thread_ = std::thread([this] { run(); });
    return true;
}

StreamListener::~StreamListener() {
    if (thread_.joinable()) {
        stop_ = true;
        wake();
        thread_.join();
    }
    for (Connection& c : connections_)
        finish(c);
    connections_.clear();
    closeFd(wakeFd_);
    closeFd(listenFd_);
}

void StreamListener::attach(const std::shared_ptr<StreamChannel>& channel) {
    std::lock_guard lock(mutex_);
    channel->attached = true;
    ++channel->generation;
    channel->slots = 0;
    channel->plainHeader.clear();
    channel->framedHeader.clear();
    channel->viewers.clear();
    channels_.push_back(channel);
}

void StreamListener::detach(const std::shared_ptr<StreamChannel>& channel) {
    {
        std::lock_guard lock(mutex_);
        channel->attached = false;
        for (const auto& viewer : channel->viewers)
            viewer->dropped = true;
        channels_.erase(std::remove(channels_.begin(), channels_.end(), channel), channels_.end());
    }
    wake(); // the listener closes that camera's connections
}

std::shared_ptr<StreamChannel> StreamListener::route(int camera) const {
    if (camera < 0 || channels_.empty())
        return nullptr;
    if (camera == 0)
        return channels_.front();
    for (const auto& channel : channels_)
        if (channel->camera == camera)
            return channel;
    return nullptr;
}

void StreamListener::setHeader(StreamChannel& channel, const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> chunks = asf::headerChunks(data, size);
    {
        std::lock_guard lock(mutex_);
        channel.plainHeader.assign(reinterpret_cast<const char*>(data), size);
        channel.framedHeader.assign(chunks.begin(), chunks.end());
    }
    wake();
}

void StreamListener::deliver(StreamChannel& channel, const std::uint8_t* data, std::size_t size,
                             bool key) {
    bool queued = false;
    const Clock::time_point at = now();
    {
        std::lock_guard lock(mutex_);
        for (const auto& viewer : channel.viewers) {
            Viewer& v = *viewer;
            if (v.dropped)
                continue;
            if (!v.started) {
                // A viewer starts on a whole picture, and its clock starts there.
                const std::optional<std::uint32_t> sendTime = asf::packetSendTime(data, size);
                if (!key || !sendTime)
                    continue;
                v.started = true;
                v.baseMs = *sendTime;
            }
            if (v.queued.size() > MaxQueuedBytes) {
                v.dropped = true;
                std::string().swap(v.queued);
                continue;
            }
            if (v.framed) {
                if (size > asf::MaxChunkPayload)
                    continue; // cannot happen with our packet size
                const auto prefix = asf::dataChunkPrefix(v.packetNumber++, size);
                v.queued.append(reinterpret_cast<const char*>(prefix.data()), prefix.size());
            }
            const std::size_t offset = v.queued.size();
            v.queued.append(reinterpret_cast<const char*>(data), size);
            asf::rebasePacketTimes(reinterpret_cast<std::uint8_t*>(v.queued.data() + offset), size,
                                   v.baseMs);
            v.noteQueued(at, stretch_);
            queued = true;
        }
    }
    if (queued)
        wake();
}

void StreamListener::run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        const Clock::time_point now = this->now();
        refresh(now);
        connections_.remove_if([](const Connection& c) { return c.fd < 0; });
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        Clock::time_point next = Clock::time_point::max();
        const bool accepting = now >= acceptPausedUntil_;
        fds.push_back({listenFd_, static_cast<short>(accepting ? POLLIN : 0), 0});
        if (!accepting)
            next = acceptPausedUntil_;
        for (const Connection& c : connections_) {
            short events = 0;
            switch (c.stage) {
            case Connection::Stage::Reading:
            case Connection::Stage::Draining:
                events = POLLIN;
                break;
            case Connection::Stage::Writing:
                events = POLLOUT;
                break;
            case Connection::Stage::WaitingForHeader:
                break;
            case Connection::Stage::Streaming:
                // Reading only notices the viewer leaving; what it sends is discarded. Once
                // its input has ended, a failed send tells that it left.
                events = c.sent < c.out.size() ? POLLOUT : c.inputClosed ? 0 : POLLIN;
                break;
            }
            fds.push_back({c.fd, events, 0});
            next = std::min(next, c.deadline);
        }
        int timeout = -1;
        if (next != Clock::time_point::max())
            timeout = static_cast<int>(std::clamp<std::int64_t>(
                std::chrono::ceil<std::chrono::milliseconds>(next - now).count(), 0, 60000));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (stop_)
            break;
        const Clock::time_point after = this->now();
        if (fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        auto it = connections_.begin();
        for (std::size_t i = 2; i < fds.size(); ++i, ++it) {
            Connection& c = *it;
            const short ev = fds[i].revents;
            if (ev == 0 || c.fd < 0)
                continue;
            switch (c.stage) {
            case Connection::Stage::Reading:
                readRequest(c, after);
                break;
            case Connection::Stage::Writing:
                writeSome(c, after);
                break;
            case Connection::Stage::Draining:
                discardInput(c);
                break;
            case Connection::Stage::WaitingForHeader:
                if (ev & (POLLHUP | POLLERR))
                    finish(c); // gave up waiting
                break;
            case Connection::Stage::Streaming:
                if (ev & POLLOUT)
                    writeSome(c, after);
                else if (ev & POLLIN)
                    readViewerInput(c, ev);
                else if (ev & (POLLHUP | POLLERR))
                    finish(c);
                break;
            }
        }
        for (Connection& c : connections_)
            if (c.fd >= 0 && after >= c.deadline)
                expire(c, after);
        connections_.remove_if([](const Connection& c) { return c.fd < 0; });
        if (fds[1].revents)
            acceptAll(after);
    }
}

// Hands each viewer what the streaming thread queued for it and closes the connections of
// cameras that stopped serving or viewers that fell behind.
void StreamListener::refresh(Clock::time_point now) {
    std::vector<Connection*> waiting;
    {
        std::lock_guard lock(mutex_);
        for (Connection& c : connections_) {
            if (c.fd < 0)
                continue;
            if (c.channel && (!c.channel->attached || c.channel->generation != c.generation)) {
                closeFd(c.fd); // its slot went with the channel
                c.holdsSlot = false;
                continue;
            }
            if (c.stage == Connection::Stage::WaitingForHeader) {
                waiting.push_back(&c);
                continue;
            }
            if (c.stage != Connection::Stage::Streaming)
                continue;
            if (c.viewer->dropped) {
                c.viewer->queued.clear();
                closeFd(c.fd);
                c.channel->viewers.erase(
                    std::remove(c.channel->viewers.begin(), c.channel->viewers.end(), c.viewer),
                    c.channel->viewers.end());
                if (c.holdsSlot && c.channel->slots > 0)
                    --c.channel->slots;
                c.holdsSlot = false;
                continue;
            }
            Viewer& v = *c.viewer;
            if (c.sent == c.out.size()) {
                c.out.clear();
                c.sent = 0;
                c.out.swap(v.queued); // both keep their buffers
                v.handedOver();
            }
            // However the stream is cut into batches, the viewer is as far behind as the oldest
            // part it has not taken.
            v.times.taken(c.sentTotal);
            const std::optional<Clock::time_point> oldest = v.times.oldest();
            c.deadline = oldest ? *oldest + options_.stallTimeout : Clock::time_point::max();
        }
    }
    for (Connection* c : waiting)
        answerWhenHeaderKnown(*c, now);
}

void StreamListener::acceptAll(Clock::time_point now) {
    for (int i = 0; i < 64; ++i) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the connection stays queued; pause instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + std::chrono::milliseconds(200);
            return;
        }
        std::size_t pending = 0;
        Connection* oldest = nullptr;
        for (Connection& c : connections_) {
            if (c.fd < 0 || c.stage == Connection::Stage::Streaming)
                continue;
            ++pending;
            if (c.stage == Connection::Stage::Reading && (!oldest || c.opened < oldest->opened))
                oldest = &c;
        }
        if (pending >= MaxPendingConnections) {
            const std::string busy = httpErrorResponse(503);
            int& victim = oldest ? oldest->fd : fd;
            [[maybe_unused]] ssize_t n = ::send(victim, busy.data(), busy.size(), MSG_NOSIGNAL);
            if (oldest) {
                finish(*oldest);
            } else {
                closeFd(fd); // every pending connection is already being answered
                continue;
            }
        }
        Connection c;
        c.fd = fd;
        c.opened = now;
        c.deadline = now + options_.requestTimeout;
        connections_.push_back(std::move(c));
    }
}

void StreamListener::readRequest(Connection& c, Clock::time_point now) {
    char buffer[4096];
    const std::size_t room =
        options_.maxRequestSize - std::min(options_.maxRequestSize, c.in.size());
    const ssize_t n = ::recv(c.fd, buffer, std::min(room, sizeof buffer), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        finish(c); // the client went away before asking
        return;
    }
    if (n < 0)
        return;
    c.in.append(buffer, static_cast<std::size_t>(n));
    const HttpParseResult r = parseHttpRequest(c.in, options_.maxRequestSize);
    if (r.status != HttpParseStatus::Incomplete)
        decide(c, r, now);
}

void StreamListener::decide(Connection& c, const HttpParseResult& r, Clock::time_point now) {
    if (r.status != HttpParseStatus::Complete) {
        respond(c, httpErrorResponse(r.httpStatus), now);
        return;
    }
    const bool head = r.request.method == "HEAD";
    if (r.request.method != "GET" && !head) {
        respond(c, httpErrorResponse(405), now);
        return;
    }
    c.kind = classifyStreamRequest(r.request);
    c.clientId = nextClientId_++;
    bool full = false;
    {
        std::lock_guard lock(mutex_);
        c.channel = route(streamTargetCamera(r.request.target));
        if (c.channel) {
            c.generation = c.channel->generation;
            full = c.channel->slots >= c.channel->maxUsers;
            // Only a viewer about to receive the stream takes a slot.
            if (!full && !head && c.kind != StreamRequestKind::Describe) {
                ++c.channel->slots;
                c.holdsSlot = true;
            }
        }
    }
    if (!c.channel) {
        respond(c, httpErrorResponse(404), now);
        return;
    }
    if (head) {
        respond(c, streamResponseHead(c.kind, c.clientId), now);
        return;
    }
    if (full) {
        respond(c, httpErrorResponse(503), now);
        return;
    }
    c.stage = Connection::Stage::WaitingForHeader; // answered once the muxer has a header
    answerWhenHeaderKnown(c, now);
}

void StreamListener::answerWhenHeaderKnown(Connection& c, Clock::time_point now) {
    std::string bytes = streamResponseHead(c.kind, c.clientId);
    {
        std::lock_guard lock(mutex_);
        StreamChannel& channel = *c.channel;
        const std::string& header =
            c.kind == StreamRequestKind::Plain ? channel.plainHeader : channel.framedHeader;
        if (header.empty())
            return;
        bytes += header;
        if (c.kind != StreamRequestKind::Describe) {
            c.viewer = std::make_shared<Viewer>();
            c.viewer->framed = c.kind == StreamRequestKind::Play;
            channel.viewers.push_back(c.viewer);
            // The head and header count as the viewer's first queued stretch; the listener
            // takes them over at once.
            c.viewer->queued = std::move(bytes);
            c.viewer->noteQueued(now, stretch_);
            c.out.clear();
            c.out.swap(c.viewer->queued);
            c.viewer->handedOver();
        }
    }
    if (c.kind == StreamRequestKind::Describe) {
        respond(c, std::move(bytes), now);
        return;
    }
    // A modest send buffer, so a viewer that stops reading is noticed soon; no delay of small
    // packets, so viewers see each packet as it is made.
    ::setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &options_.sendBufferSize,
                 sizeof options_.sendBufferSize);
    const int on = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    c.stage = Connection::Stage::Streaming;
    c.sent = 0;
    c.sentTotal = 0;
    c.deadline = now + options_.stallTimeout;
    writeSome(c, now);
}

void StreamListener::respond(Connection& c, std::string bytes, Clock::time_point now) {
    c.out = std::move(bytes);
    c.sent = 0;
    c.stage = Connection::Stage::Writing;
    c.deadline = now + options_.writeTimeout;
    writeSome(c, now);
}

void StreamListener::writeSome(Connection& c, Clock::time_point now) {
    const std::size_t before = c.sent;
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            finish(c);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    if (c.stage == Connection::Stage::Streaming) {
        c.channel->bytesServed += c.sent - before;
        c.sentTotal += c.sent - before;
        // The oldest part not yet taken is newer now: its deadline is worked out again before
        // the next wait.
        if (c.sent > before)
            c.deadline = Clock::time_point::max();
        return;
    }
    if (c.sent < c.out.size())
        return;
    ::shutdown(c.fd, SHUT_WR);
    c.stage = Connection::Stage::Draining;
    c.deadline = now + DrainTime;
}

void StreamListener::discardInput(Connection& c) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        finish(c);
}

// A viewer has nothing more to say after its request: what it sends is thrown away, up to a
// limit, so a client cannot keep the listener busy reading. The end of its input is not the end
// of its stream (HTTP/1.0 clients may close their sending side once they have asked).
void StreamListener::readViewerInput(Connection& c, short events) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
        c.inputDiscarded += static_cast<std::size_t>(n);
        if (c.inputDiscarded > options_.maxViewerInput)
            finish(c);
        return;
    }
    if (n == 0) {
        c.inputClosed = true;
        if (events & (POLLHUP | POLLERR))
            finish(c); // nothing can be sent either
        return;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        finish(c);
}

void StreamListener::expire(Connection& c, Clock::time_point now) {
    switch (c.stage) {
    case Connection::Stage::Reading:
        respond(c, httpErrorResponse(408), now);
        break;
    case Connection::Stage::WaitingForHeader:
        respond(c, httpErrorResponse(503), now);
        break;
    case Connection::Stage::Writing:
    case Connection::Stage::Draining:
    case Connection::Stage::Streaming: // fell behind
        finish(c);
        break;
    }
}

void StreamListener::finish(Connection& c) {
    closeFd(c.fd);
    std::lock_guard lock(mutex_);
    if (c.viewer && c.channel) {
        auto& viewers = c.channel->viewers;
        viewers.erase(std::remove(viewers.begin(), viewers.end(), c.viewer), viewers.end());
    }
    c.viewer.reset();
    if (c.holdsSlot && c.channel && c.channel->attached && c.channel->generation == c.generation &&
        c.channel->slots > 0)
        --c.channel->slots;
    c.holdsSlot = false;
}

// The camera's side, owned by the bin: attaches to the port's listener while the bin runs.
class StreamServer {
public:
    explicit StreamServer(const NetworkStreamOptions& options)
        : options_(options), channel_(std::make_shared<StreamChannel>()) {
        channel_->camera = options.camera;
        channel_->maxUsers = options.maxUsers;
    }
    ~StreamServer() { close(); }

    const NetworkStreamOptions& options() const { return options_; }
    void setReady() { ready_ = true; }
    bool wanted() const {
        return options_.port > 0 && options_.maxUsers > 0 && ready_ && !disabled_;
    }

    void open() {
        std::lock_guard life(life_);
        if (!wanted() || listener_)
            return;
        listener_ = StreamListener::acquire(options_);
        if (listener_)
            listener_->attach(channel_);
    }
    void close() {
        std::shared_ptr<StreamListener> listener;
        {
            std::lock_guard life(life_);
            listener.swap(listener_);
            if (listener)
                listener->detach(channel_);
        }
        // The last camera on the port closes it here.
    }
    void disable() {
        disabled_ = true;
        close();
    }

    bool listening() const {
        std::lock_guard life(life_);
        return listener_ != nullptr;
    }
    unsigned viewers() const {
        std::lock_guard life(life_);
        return listener_ ? listener_->slots(*channel_) : 0;
    }
    std::uint64_t bytesServed() const { return channel_->bytesServed; }

    void setFacts(const asf::HeaderFacts& facts) {
        std::lock_guard life(life_);
        facts_ = facts;
    }

    // Streaming thread.
    void header(std::vector<std::uint8_t> bytes) {
        std::lock_guard life(life_);
        if (facts_.bitRate > 0)
            asf::repairHeader(bytes.data(), bytes.size(), facts_);
        if (listener_)
            listener_->setHeader(*channel_, bytes.data(), bytes.size());
    }
    void packet(const std::uint8_t* data, std::size_t size, bool key) {
        std::lock_guard life(life_);
        if (listener_)
            listener_->deliver(*channel_, data, size, key);
    }

private:
    const NetworkStreamOptions options_;
    const std::shared_ptr<StreamChannel> channel_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> disabled_{false};
    mutable std::mutex life_; // never held by the listener's thread
    std::shared_ptr<StreamListener> listener_;
    asf::HeaderFacts facts_;
};

} // namespace norvale

// The bin type: a plain bin that opens and closes the service with its state.
namespace {

struct NorvaleStreamBin {
    GstBin parent;
    norvale::StreamServer* server;
};

struct NorvaleStreamBinClass {
    GstBinClass parent_class;
};

GType norvale_stream_bin_get_type();
G_DEFINE_TYPE(NorvaleStreamBin, norvale_stream_bin, GST_TYPE_BIN)

GstStateChangeReturn streamBinChangeState(GstElement* element, GstStateChange transition) {
    auto* self = reinterpret_cast<NorvaleStreamBin*>(element);
    // Attached to the port before data flows, detached before the elements stop, so no viewer
    // waits on a camera that is not running.
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED)
        self->server->open();
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
        self->server->close();
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(norvale_stream_bin_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && result == GST_STATE_CHANGE_FAILURE)
        self->server->close();
    return result;
}

void streamBinDispose(GObject* object) {
    // The children still exist here: close every viewer of this camera before they go away.
    auto* self = reinterpret_cast<NorvaleStreamBin*>(object);
    if (self->server)
        self->server->disable();
    G_OBJECT_CLASS(norvale_stream_bin_parent_class)->dispose(object);
}

void streamBinFinalize(GObject* object) {
    auto* self = reinterpret_cast<NorvaleStreamBin*>(object);
    delete self->server;
    self->server = nullptr;
    G_OBJECT_CLASS(norvale_stream_bin_parent_class)->finalize(object);
}

void norvale_stream_bin_class_init(NorvaleStreamBinClass* klass) {
    G_OBJECT_CLASS(klass)->dispose = streamBinDispose;
    G_OBJECT_CLASS(klass)->finalize = streamBinFinalize;
    GST_ELEMENT_CLASS(klass)->change_state = streamBinChangeState;
}

void norvale_stream_bin_init(NorvaleStreamBin* self) {
    self->server = nullptr;
}

// Cuts the muxer's packets so that a key frame always starts a packet of its own, and marks as
// key-frame packets only those: the muxer marks every packet holding any piece of a key frame,
// and packs the end of earlier pictures in front of it; a viewer starting there would begin
// mid-picture or with pictures it cannot decode.
struct NorvaleAsfCut {
    GstElement parent;
    GstPad* sink;
    GstPad* src;
};

struct NorvaleAsfCutClass {
    GstElementClass parent_class;
};

GType norvale_asf_cut_get_type();
G_DEFINE_TYPE(NorvaleAsfCut, norvale_asf_cut, GST_TYPE_ELEMENT)

GstStaticPadTemplate cutSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate cutSrcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

GstBuffer* packetLike(GstBuffer* original, const std::vector<std::uint8_t>& bytes, bool key) {
    GstBuffer* out = gst_buffer_new_memdup(bytes.data(), bytes.size());
    gst_buffer_copy_into(
        out, original,
        static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS), 0,
        static_cast<gsize>(-1));
    if (key)
        GST_BUFFER_FLAG_UNSET(out, GST_BUFFER_FLAG_DELTA_UNIT);
    else
        GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DELTA_UNIT);
    return out;
}

GstFlowReturn cutChain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    auto* self = reinterpret_cast<NorvaleAsfCut*>(parent);
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER))
        return gst_pad_push(self->src, buffer);
    std::optional<norvale::asf::KeyFrameSplit> split;
    std::optional<bool> starts;
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        split = norvale::asf::splitAtKeyFrame(map.data, map.size);
        if (!split)
            starts = norvale::asf::packetStartsKeyFrame(map.data, map.size);
        gst_buffer_unmap(buffer, &map);
    }
    if (split) {
        GstBuffer* before = packetLike(buffer, split->before, false);
        GstBuffer* from = packetLike(buffer, split->from, true);
        gst_buffer_unref(buffer);
        const GstFlowReturn ret = gst_pad_push(self->src, before);
        if (ret != GST_FLOW_OK) {
            gst_buffer_unref(from);
            return ret;
        }
        return gst_pad_push(self->src, from);
    }
    // What cannot be read stays as the muxer marked it.
    if (starts && *starts == GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
        buffer = gst_buffer_make_writable(buffer);
        if (*starts)
            GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        else
            GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    }
    return gst_pad_push(self->src, buffer);
}

void norvale_asf_cut_class_init(NorvaleAsfCutClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element, &cutSinkTemplate);
    gst_element_class_add_static_pad_template(element, &cutSrcTemplate);
    gst_element_class_set_static_metadata(element, "ASF key-frame packet cut", "Filter",
                                          "Starts a packet at every key frame", "Norvale");
}

void norvale_asf_cut_init(NorvaleAsfCut* self) {
    self->sink = gst_pad_new_from_static_template(&cutSinkTemplate, "sink");
    gst_pad_set_chain_function(self->sink, cutChain);
    GST_PAD_SET_PROXY_CAPS(self->sink);
    gst_element_add_pad(GST_ELEMENT(self), self->sink);
    self->src = gst_pad_new_from_static_template(&cutSrcTemplate, "src");
    GST_PAD_SET_PROXY_CAPS(self->src);
    gst_element_add_pad(GST_ELEMENT(self), self->src);
}

std::vector<std::uint8_t> bufferBytes(GstBuffer* buffer) {
    std::vector<std::uint8_t> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    return bytes;
}

// The muxer's output goes to the viewers from here: the header (in the caps, and as header
// buffers) and every data packet, with its key-frame mark.
GstPadProbeReturn toViewers(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* server = static_cast<norvale::StreamServer*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
            return GST_PAD_PROBE_OK;
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure* s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
        const GValue* headers = s ? gst_structure_get_value(s, "streamheader") : nullptr;
        if (!headers || !GST_VALUE_HOLDS_ARRAY(headers))
            return GST_PAD_PROBE_OK;
        std::vector<std::uint8_t> asfHeader;
        for (guint i = 0; i < gst_value_array_get_size(headers); ++i) {
            const GValue* v = gst_value_array_get_value(headers, i);
            if (GST_VALUE_HOLDS_BUFFER(v)) {
                std::vector<std::uint8_t> part = bufferBytes(gst_value_get_buffer(v));
                asfHeader.insert(asfHeader.end(), part.begin(), part.end());
            }
        }
        if (!asfHeader.empty())
            server->header(std::move(asfHeader));
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) {
        server->header(bufferBytes(buffer));
        return GST_PAD_PROBE_OK;
    }
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        server->packet(map.data, map.size,
                       !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT));
        gst_buffer_unmap(buffer, &map);
    }
    return GST_PAD_PROBE_OK;
}

} // namespace

namespace norvale {

NetworkStream::NetworkStream(std::uint16_t port, unsigned maxUsers)
    : NetworkStream([&] {
          NetworkStreamOptions o;
          o.port = port;
          o.maxUsers = maxUsers;
          return o;
      }()) {}

NetworkStream::NetworkStream(const NetworkStreamOptions& options) {
    gst::ensureInitialised();
    auto* bin = static_cast<GstElement*>(g_object_new(norvale_stream_bin_get_type(), nullptr));
    gst_object_ref_sink(bin);
    bin_.reset(bin);
    server_ = new StreamServer(options);
    reinterpret_cast<NorvaleStreamBin*>(bin)->server = server_;

    gst::Ref<GstElement> rebase = gst::make("identity", "rebase");
    gst::Ref<GstElement> muxer = gst::make("asfmux", "muxer");
    gst::Ref<GstElement> cut = gst::adopt(
        static_cast<GstElement*>(g_object_new(norvale_asf_cut_get_type(), "name", "cut", nullptr)));
    gst::Ref<GstElement> sink = gst::make("fakesink", "viewers");
    if (!rebase || !muxer || !sink)
        return; // a missing plugin: no service, the recording still runs
    // Encoders offset their time stamps by a large constant; the ASF times count milliseconds
    // in 32 bits, so the muxer gets the pipeline's running time instead (and each viewer's
    // times are moved to start at its own first picture).
    g_object_set(rebase.get(), "single-segment", TRUE, "silent", TRUE, nullptr);
    g_object_set(muxer.get(), "streamable", TRUE, "packet-size", options.packetSize, "preroll",
                 guint64{options.prerollMs}, nullptr);
    // Never wait for the clock or for preroll: a live recording pipeline is never held up here.
    g_object_set(sink.get(), "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    for (GstElement* e : {rebase.get(), muxer.get(), cut.get(), sink.get()})
        gst_bin_add(GST_BIN(bin), e); // the bin takes a reference of its own
    if (!gst_element_link_many(muxer.get(), cut.get(), sink.get(), nullptr))
        return;
    gst::Ref<GstPad> video(gst_element_request_pad_simple(muxer.get(), "video_%u"));
    gst::Ref<GstPad> rebased(gst_element_get_static_pad(rebase.get(), "src"));
    if (!video || gst_pad_link(rebased.get(), video.get()) != GST_PAD_LINK_OK)
        return;
    gst::Ref<GstPad> input(gst_element_get_static_pad(rebase.get(), "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", input.get()));

    gst::Ref<GstPad> sinkInput(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(sinkInput.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      toViewers, server_, nullptr);
    server_->setReady();
}

NetworkStream::~NetworkStream() {
    server_->disable();
}

bool NetworkStream::listening() const {
    return server_->listening();
}

std::uint16_t NetworkStream::port() const {
    return server_->options().port;
}

unsigned NetworkStream::viewers() const {
    return server_->viewers();
}

std::uint64_t NetworkStream::bytesServed() const {
    return server_->bytesServed();
}

void NetworkStream::setHeaderFacts(std::uint32_t bitRate, std::uint64_t avgTimePerFrame) {
    server_->setFacts({bitRate, avgTimePerFrame});
}

} // namespace norvale
