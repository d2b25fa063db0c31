#include "StreamListener.h"

#include "core/AsfStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <optional>
#include <random>

namespace norvale {

namespace {

using Clock = std::chrono::steady_clock;

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

} // namespace

// One viewer's stream, filled by the streaming thread: its own times and packet numbers start
// at its first key frame. Guarded by the listener's mutex.
struct StreamViewer {
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

struct StreamListener::Connection {
    enum class Stage { Reading, WaitingForHeader, Writing, Draining, Streaming };

    UniqueFd fd;
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
    std::shared_ptr<StreamViewer> viewer; // while streaming
    std::uint64_t sentTotal = 0;          // of the viewer's stream, taken by the socket
    bool inputClosed = false;             // the viewer has sent all it will
    std::size_t inputDiscarded = 0;       // bytes it sent after its request
};

namespace {

std::mutex registryMutex;
std::map<std::uint16_t, std::weak_ptr<StreamListener>>& registry() {
    static std::map<std::uint16_t, std::weak_ptr<StreamListener>> listeners;
    return listeners;
}

} // namespace

std::shared_ptr<StreamListener> StreamListener::acquire(const StreamListenerOptions& options) {
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

StreamListener::StreamListener(const StreamListenerOptions& options)
    : options_(options),
      stretch_(std::max<Clock::duration>(std::chrono::milliseconds(1), options.stallTimeout / 32)) {
    std::random_device seed;
    nextClientId_ = seed() % 1000000 + 1;
}

void StreamListener::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

unsigned StreamListener::seats(const StreamChannel& channel) const {
    std::lock_guard lock(mutex_);
    return channel.seats;
}

bool StreamListener::start() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.bindAddress.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 64) != 0)
        return false;
    wakeFd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wakeFd_)
        return false;
    listenFd_ = std::move(fd);
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
}

void StreamListener::attach(const std::shared_ptr<StreamChannel>& channel) {
    std::lock_guard lock(mutex_);
    channel->attached = true;
    ++channel->generation;
    channel->seats = 0;
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
    if (camera == 0) {
        // The port's root serves the first camera recording WMV1 (as ever); only when none
        // does, the first camera of any kind.
        for (const auto& channel : channels_)
            if (channel->contentType.empty())
                return channel;
        return channels_.front();
    }
    for (const auto& channel : channels_)
        if (channel->camera == camera)
            return channel;
    return nullptr;
}

void StreamListener::setHeader(StreamChannel& channel, const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> chunks;
    if (channel.contentType.empty())
        chunks = asf::headerChunks(data, size);
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
    const bool asf = channel.contentType.empty();
    {
        std::lock_guard lock(mutex_);
        for (const auto& viewer : channel.viewers) {
            StreamViewer& v = *viewer;
            if (v.dropped)
                continue;
            if (!asf) {
                if (!v.started && !key)
                    continue;
                v.started = true;
                if (v.queued.size() > options_.maxQueuedBytes) {
                    v.dropped = true;
                    std::string().swap(v.queued);
                    continue;
                }
                v.queued.append(reinterpret_cast<const char*>(data), size);
                v.noteQueued(at, stretch_);
                queued = true;
                continue;
            }
            if (!v.started) {
                // A viewer starts on a whole picture, and its clock starts there.
                const std::optional<std::uint32_t> sendTime = asf::packetSendTime(data, size);
                if (!key || !sendTime)
                    continue;
                v.started = true;
                v.baseMs = *sendTime;
            }
            if (v.queued.size() > options_.maxQueuedBytes) {
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
        connections_.remove_if([](const Connection& c) { return !c.fd; });
        fds.clear();
        fds.push_back({wakeFd_.get(), POLLIN, 0});
        Clock::time_point next = Clock::time_point::max();
        const bool accepting = now >= acceptPausedUntil_;
        fds.push_back({listenFd_.get(), static_cast<short>(accepting ? POLLIN : 0), 0});
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
            fds.push_back({c.fd.get(), events, 0});
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
            [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
        }
        auto it = connections_.begin();
        for (std::size_t i = 2; i < fds.size(); ++i, ++it) {
            Connection& c = *it;
            const short ev = fds[i].revents;
            if (ev == 0 || !c.fd)
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
            if (c.fd && after >= c.deadline)
                expire(c, after);
        connections_.remove_if([](const Connection& c) { return !c.fd; });
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
            if (!c.fd)
                continue;
            if (c.channel && (!c.channel->attached || c.channel->generation != c.generation)) {
                c.fd.reset(); // its slot went with the channel
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
                c.fd.reset();
                c.channel->viewers.erase(
                    std::remove(c.channel->viewers.begin(), c.channel->viewers.end(), c.viewer),
                    c.channel->viewers.end());
                if (c.holdsSlot && c.channel->seats > 0)
                    --c.channel->seats;
                c.holdsSlot = false;
                continue;
            }
            StreamViewer& v = *c.viewer;
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
        UniqueFd fd(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            // Out of descriptors: the connection stays queued; pause instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + std::chrono::milliseconds(200);
            return;
        }
        std::size_t pending = 0;
        Connection* oldest = nullptr;
        for (Connection& c : connections_) {
            if (!c.fd || c.stage == Connection::Stage::Streaming)
                continue;
            ++pending;
            if (c.stage == Connection::Stage::Reading && (!oldest || c.opened < oldest->opened))
                oldest = &c;
        }
        if (pending >= options_.maxPendingConnections) {
            const std::string busy = httpErrorResponse(503);
            const int victim = oldest ? oldest->fd.get() : fd.get();
            [[maybe_unused]] ssize_t n = ::send(victim, busy.data(), busy.size(), MSG_NOSIGNAL);
            if (!oldest)
                continue; // every pending connection is already being answered
            finish(*oldest);
        }
        Connection c;
        c.fd = std::move(fd);
        c.opened = now;
        c.deadline = now + options_.requestTimeout;
        connections_.push_back(std::move(c));
    }
}

void StreamListener::readRequest(Connection& c, Clock::time_point now) {
    char buffer[4096];
    const std::size_t room =
        options_.maxRequestSize - std::min(options_.maxRequestSize, c.in.size());
    const ssize_t n = ::recv(c.fd.get(), buffer, std::min(room, sizeof buffer), 0);
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
        // A stream other than ASF is one stream for every kind of client.
        if (c.channel && !c.channel->contentType.empty())
            c.kind = StreamRequestKind::Plain;
        if (c.channel) {
            c.generation = c.channel->generation;
            full = c.channel->seats >= c.channel->maxUsers;
            // Only a viewer about to receive the stream takes a slot.
            if (!full && !head && c.kind != StreamRequestKind::Describe) {
                ++c.channel->seats;
                c.holdsSlot = true;
            }
        }
    }
    if (!c.channel) {
        respond(c, httpErrorResponse(404), now);
        return;
    }
    if (head) {
        respond(c, responseHead(c), now);
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
    std::string bytes = responseHead(c);
    {
        std::lock_guard lock(mutex_);
        StreamChannel& channel = *c.channel;
        const std::string& header =
            c.kind == StreamRequestKind::Plain ? channel.plainHeader : channel.framedHeader;
        // An ASF stream cannot be read without its header; others repeat what players need.
        if (header.empty() && channel.contentType.empty())
            return;
        bytes += header;
        if (c.kind != StreamRequestKind::Describe) {
            c.viewer = std::make_shared<StreamViewer>();
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
    ::setsockopt(c.fd.get(), SOL_SOCKET, SO_SNDBUF, &options_.sendBufferSize,
                 sizeof options_.sendBufferSize);
    const int on = 1;
    ::setsockopt(c.fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    c.stage = Connection::Stage::Streaming;
    c.sent = 0;
    c.sentTotal = 0;
    c.deadline = now + options_.stallTimeout;
    writeSome(c, now);
}

std::string StreamListener::responseHead(const Connection& c) {
    // The content type is fixed for the channel's life.
    return c.channel->contentType.empty() ? streamResponseHead(c.kind, c.clientId)
                                          : rawStreamResponseHead(c.channel->contentType);
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
        const ssize_t n =
            ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
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
    ::shutdown(c.fd.get(), SHUT_WR);
    c.stage = Connection::Stage::Draining;
    c.deadline = now + options_.drainTimeout;
}

void StreamListener::discardInput(Connection& c) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        finish(c);
}

// A viewer has nothing more to say after its request: what it sends is thrown away, up to a
// limit, so a client cannot keep the listener busy reading. The end of its input is not the end
// of its stream (HTTP/1.0 clients may close their sending side once they have asked).
void StreamListener::readViewerInput(Connection& c, short events) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
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
    c.fd.reset();
    std::lock_guard lock(mutex_);
    if (c.viewer && c.channel) {
        auto& viewers = c.channel->viewers;
        viewers.erase(std::remove(viewers.begin(), viewers.end(), c.viewer), viewers.end());
    }
    c.viewer.reset();
    if (c.holdsSlot && c.channel && c.channel->attached && c.channel->generation == c.generation &&
        c.channel->seats > 0)
        --c.channel->seats;
    c.holdsSlot = false;
}

} // namespace norvale
