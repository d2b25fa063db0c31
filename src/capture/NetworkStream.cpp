#include "NetworkStream.h"

#include "GstHandles.h"
#include "GstRuntime.h"
#include "core/AsfStream.h"
#include "core/HttpRequest.h"

#include <gio/gio.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <list>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace norvale {

namespace {

using Clock = std::chrono::steady_clock;

// Connections whose request is still being read; more are answered 503 at once, so a flood of
// idle connections cannot exhaust descriptors.
constexpr std::size_t MaxPendingConnections = 32;
// How long an answer may take to leave, and how long we then read what the client still sends
// (closing a socket with unread input resets the connection and may destroy the answer).
constexpr std::chrono::milliseconds WriteTimeout{2000};
constexpr std::chrono::milliseconds DrainTime{500};

struct Connection {
    enum class Stage { Reading, WaitingForHeader, Writing, Draining };
    enum class Then { Close, HandOffPlain, HandOffFramed };

    int fd = -1;
    Stage stage = Stage::Reading;
    Then then = Then::Close;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    Clock::time_point deadline;
    bool holdsSlot = false;
    std::uint32_t clientId = 0;
};

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

// The listener, the viewer count and the hand-off to the sinks. Owned by the bin, so it lives
// as long as the sinks that call back into it.
class StreamServer {
public:
    explicit StreamServer(const NetworkStreamOptions& options) : options_(options) {
        std::random_device seed;
        nextClientId_ = seed() % 1000000 + 1;
    }
    ~StreamServer() { close(); }

    void setSinks(GstElement* plain, GstElement* framed) {
        plainSink_ = plain;
        framedSink_ = framed;
    }
    const NetworkStreamOptions& options() const { return options_; }

    bool wanted() const {
        return options_.port > 0 && options_.maxUsers > 0 && plainSink_ && framedSink_ &&
               !disabled_;
    }

    void open();
    void close();
    // The component is gone: close and never open again.
    void disable() {
        disabled_ = true;
        close();
    }

    bool listening() const {
        std::lock_guard lock(mutex_);
        return listenFd_ >= 0;
    }
    unsigned viewers() const {
        std::lock_guard lock(mutex_);
        return viewers_;
    }

    // Streaming thread: the framed ASF header for describe requests.
    void setHeader(std::vector<std::uint8_t> chunks) {
        {
            std::lock_guard lock(mutex_);
            header_.assign(chunks.begin(), chunks.end());
        }
        wake();
    }
    // Any thread: a sink has let go of a viewer's socket.
    void socketRemoved(GSocket* socket);

    std::uint32_t nextPacketNumber() { return packetNumber_++; }

private:
    void run();
    void wake() {
        if (wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }
    void acceptAll(Clock::time_point now);
    void readRequest(Connection& c, Clock::time_point now);
    void decide(Connection& c, const HttpParseResult& r, Clock::time_point now);
    void answerDescribe(Connection& c, Clock::time_point now);
    void respond(Connection& c, std::string bytes, Connection::Then then, Clock::time_point now);
    void writeSome(Connection& c, Clock::time_point now);
    void drain(Connection& c);
    void expire(Connection& c, Clock::time_point now);
    void handOff(Connection& c);
    void finish(Connection& c);
    bool reserveSlot();
    void releaseSlot();

    const NetworkStreamOptions options_;
    GstElement* plainSink_ = nullptr;
    GstElement* framedSink_ = nullptr;
    std::atomic<bool> disabled_{false};
    std::atomic<bool> stop_{false};
    std::atomic<std::uint32_t> packetNumber_{0};
    std::thread thread_;
    int wakeFd_ = -1;
    std::list<Connection> connections_;   // listener thread only
    std::uint32_t nextClientId_ = 1;      // listener thread only
    Clock::time_point acceptPausedUntil_; // listener thread only
    std::mutex lifecycle_;                // open and close

    mutable std::mutex mutex_; // never held while calling into a sink
    int listenFd_ = -1;
    unsigned viewers_ = 0;
    std::string header_;
    struct HandedOver {
        GSocket* socket; // our reference
        GstElement* sink;
    };
    std::vector<HandedOver> handedOver_;
};

void StreamServer::open() {
    std::lock_guard life(lifecycle_);
    if (!wanted() || thread_.joinable())
        return;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.bindAddress.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        closeFd(fd); // typically: another camera serves on this port
        return;
    }
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        closeFd(fd);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        listenFd_ = fd;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void StreamServer::close() {
    std::lock_guard life(lifecycle_);
    if (thread_.joinable()) {
        stop_ = true;
        wake();
        thread_.join();
    }
    for (Connection& c : connections_)
        finish(c);
    connections_.clear();
    closeFd(wakeFd_);
    std::vector<HandedOver> handed;
    {
        std::lock_guard lock(mutex_);
        closeFd(listenFd_);
        handed.swap(handedOver_);
        viewers_ = 0;
    }
    // Sinks that still run let go of these now; stopped sinks have done so already.
    for (const HandedOver& h : handed) {
        g_signal_emit_by_name(h.sink, "remove", h.socket);
        g_socket_close(h.socket, nullptr);
        g_object_unref(h.socket);
    }
}

void StreamServer::socketRemoved(GSocket* socket) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(handedOver_.begin(), handedOver_.end(),
                               [&](const HandedOver& h) { return h.socket == socket; });
        if (it == handedOver_.end())
            return; // already closed by close()
        handedOver_.erase(it);
        if (viewers_ > 0)
            --viewers_;
    }
    g_socket_close(socket, nullptr);
    g_object_unref(socket);
}

bool StreamServer::reserveSlot() {
    std::lock_guard lock(mutex_);
    if (viewers_ >= options_.maxUsers)
        return false;
    ++viewers_;
    return true;
}

void StreamServer::releaseSlot() {
    std::lock_guard lock(mutex_);
    if (viewers_ > 0)
        --viewers_;
}

void StreamServer::run() {
    int listenFd;
    {
        std::lock_guard lock(mutex_);
        listenFd = listenFd_;
    }
    std::vector<pollfd> fds;
    while (!stop_) {
        const Clock::time_point now = Clock::now();
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        Clock::time_point next = Clock::time_point::max();
        const bool accepting = now >= acceptPausedUntil_;
        fds.push_back({listenFd, static_cast<short>(accepting ? POLLIN : 0), 0});
        if (!accepting)
            next = acceptPausedUntil_;
        for (const Connection& c : connections_) {
            short events = 0;
            if (c.stage == Connection::Stage::Reading || c.stage == Connection::Stage::Draining)
                events = POLLIN;
            else if (c.stage == Connection::Stage::Writing)
                events = POLLOUT;
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
        const Clock::time_point after = Clock::now();
        if (fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        auto it = connections_.begin();
        for (std::size_t i = 2; i < fds.size(); ++i, ++it) {
            Connection& c = *it;
            const short ev = fds[i].revents;
            if (ev == 0)
                continue;
            switch (c.stage) {
            case Connection::Stage::Reading:
                readRequest(c, after);
                break;
            case Connection::Stage::Writing:
                writeSome(c, after);
                break;
            case Connection::Stage::Draining:
                drain(c);
                break;
            case Connection::Stage::WaitingForHeader:
                if (ev & (POLLHUP | POLLERR))
                    finish(c); // gave up waiting
                break;
            }
        }
        for (Connection& c : connections_) {
            if (c.fd >= 0 && c.stage == Connection::Stage::WaitingForHeader)
                answerDescribe(c, after);
            if (c.fd >= 0 && after >= c.deadline)
                expire(c, after);
        }
        connections_.remove_if([](const Connection& c) { return c.fd < 0; });
        if (fds[1].revents)
            acceptAll(after);
    }
}

void StreamServer::acceptAll(Clock::time_point now) {
    int listenFd;
    {
        std::lock_guard lock(mutex_);
        listenFd = listenFd_;
    }
    for (int i = 0; i < 64; ++i) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the connection stays queued; pause instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + std::chrono::milliseconds(200);
            return;
        }
        if (connections_.size() >= MaxPendingConnections) {
            const std::string busy = httpErrorResponse(503);
            [[maybe_unused]] ssize_t n = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
            closeFd(fd);
            continue;
        }
        Connection c;
        c.fd = fd;
        c.deadline = now + options_.requestTimeout;
        connections_.push_back(std::move(c));
    }
}

void StreamServer::readRequest(Connection& c, Clock::time_point now) {
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

void StreamServer::decide(Connection& c, const HttpParseResult& r, Clock::time_point now) {
    if (r.status != HttpParseStatus::Complete) {
        respond(c, httpErrorResponse(r.httpStatus), Connection::Then::Close, now);
        return;
    }
    const bool head = r.request.method == "HEAD";
    if (r.request.method != "GET" && !head) {
        respond(c, httpErrorResponse(405), Connection::Then::Close, now);
        return;
    }
    const StreamRequestKind kind = classifyStreamRequest(r.request);
    c.clientId = nextClientId_++;
    if (head) {
        respond(c, streamResponseHead(kind, c.clientId), Connection::Then::Close, now);
        return;
    }
    if (kind == StreamRequestKind::Describe) {
        if (viewers() >= options_.maxUsers) {
            respond(c, httpErrorResponse(503), Connection::Then::Close, now);
            return;
        }
        c.stage = Connection::Stage::WaitingForHeader; // answered once the muxer has one
        answerDescribe(c, now);
        return;
    }
    if (!reserveSlot()) {
        respond(c, httpErrorResponse(503), Connection::Then::Close, now);
        return;
    }
    c.holdsSlot = true;
    // A modest send buffer, so a viewer that stops reading is noticed by its sink soon; no
    // delay of small packets, so viewers see each packet as it is made.
    ::setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &options_.sendBufferSize,
                 sizeof options_.sendBufferSize);
    const int on = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    respond(c, streamResponseHead(kind, c.clientId),
            kind == StreamRequestKind::Play ? Connection::Then::HandOffFramed
                                            : Connection::Then::HandOffPlain,
            now);
}

void StreamServer::answerDescribe(Connection& c, Clock::time_point now) {
    std::string header;
    {
        std::lock_guard lock(mutex_);
        header = header_;
    }
    if (header.empty())
        return;
    respond(c, streamResponseHead(StreamRequestKind::Describe, c.clientId) + header,
            Connection::Then::Close, now);
}

void StreamServer::respond(Connection& c, std::string bytes, Connection::Then then,
                           Clock::time_point now) {
    c.out = std::move(bytes);
    c.sent = 0;
    c.then = then;
    c.stage = Connection::Stage::Writing;
    c.deadline = now + WriteTimeout;
    writeSome(c, now);
}

void StreamServer::writeSome(Connection& c, Clock::time_point now) {
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            finish(c);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    if (c.then == Connection::Then::Close) {
        ::shutdown(c.fd, SHUT_WR);
        c.stage = Connection::Stage::Draining;
        c.deadline = now + DrainTime;
        return;
    }
    handOff(c);
}

void StreamServer::drain(Connection& c) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        finish(c);
}

void StreamServer::expire(Connection& c, Clock::time_point now) {
    switch (c.stage) {
    case Connection::Stage::Reading:
        respond(c, httpErrorResponse(408), Connection::Then::Close, now);
        break;
    case Connection::Stage::WaitingForHeader:
        respond(c, httpErrorResponse(503), Connection::Then::Close, now);
        break;
    case Connection::Stage::Writing:
    case Connection::Stage::Draining:
        finish(c);
        break;
    }
}

void StreamServer::handOff(Connection& c) {
    GstElement* sink = c.then == Connection::Then::HandOffFramed ? framedSink_ : plainSink_;
    GSocket* socket = g_socket_new_from_fd(c.fd, nullptr);
    if (!socket) {
        finish(c);
        return;
    }
    c.fd = -1; // the socket owns the descriptor now
    c.holdsSlot = false;
    {
        std::lock_guard lock(mutex_);
        handedOver_.push_back({socket, sink});
    }
    // The sink keeps its own reference and tells us through client-socket-removed when it is
    // done with the viewer (closed, too slow, or stopped); the slot is released there.
    g_signal_emit_by_name(sink, "add", socket);
}

void StreamServer::finish(Connection& c) {
    closeFd(c.fd);
    if (c.holdsSlot) {
        c.holdsSlot = false;
        releaseSlot();
    }
}

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
    // Opened before the sinks start, closed before they stop, so no viewer is handed to a sink
    // that is not running.
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
    // The sinks are still children here: let them go of every viewer before they go away.
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

void onSocketRemoved(GstElement*, GSocket* socket, gpointer server) {
    static_cast<norvale::StreamServer*>(server)->socketRemoved(socket);
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

GstBuffer* framedHeader(const std::vector<std::uint8_t>& chunks) {
    GstBuffer* out = gst_buffer_new_memdup(chunks.data(), chunks.size());
    GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_HEADER);
    return out;
}

std::vector<std::uint8_t> headerBytes(GstBuffer* buffer) {
    std::vector<std::uint8_t> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    return bytes;
}

// The Windows Media players' sink gets every packet as a $D chunk and the header as $H chunks,
// in the caps (sent to each new viewer first) and in the stream.
GstPadProbeReturn frameForPlayers(GstPad*, GstPadProbeInfo* info, gpointer data) {
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
                std::vector<std::uint8_t> part = headerBytes(gst_value_get_buffer(v));
                asfHeader.insert(asfHeader.end(), part.begin(), part.end());
            }
        }
        std::vector<std::uint8_t> chunks =
            norvale::asf::headerChunks(asfHeader.data(), asfHeader.size());
        norvale::gst::Caps framedCaps(gst_caps_copy(caps));
        GValue array = G_VALUE_INIT;
        GValue value = G_VALUE_INIT;
        g_value_init(&array, GST_TYPE_ARRAY);
        g_value_init(&value, GST_TYPE_BUFFER);
        GstBuffer* framed = framedHeader(chunks);
        gst_value_set_buffer(&value, framed);
        gst_buffer_unref(framed);
        gst_value_array_append_value(&array, &value);
        gst_structure_set_value(gst_caps_get_structure(framedCaps.get(), 0), "streamheader",
                                &array);
        g_value_unset(&value);
        g_value_unset(&array);
        server->setHeader(std::move(chunks));
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(framedCaps.get());
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    GstBuffer* out = nullptr;
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) {
        std::vector<std::uint8_t> bytes = headerBytes(buffer);
        out = framedHeader(norvale::asf::headerChunks(bytes.data(), bytes.size()));
    } else {
        const gsize size = gst_buffer_get_size(buffer);
        if (size > norvale::asf::MaxChunkPayload)
            return GST_PAD_PROBE_DROP; // cannot happen with our packet size
        const auto prefix = norvale::asf::dataChunkPrefix(server->nextPacketNumber(), size);
        out = gst_buffer_new_memdup(prefix.data(), prefix.size());
        // The packet's memory is shared, not copied; flags and times go along for the sink.
        gst_buffer_copy_into(out, buffer,
                             static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS |
                                                             GST_BUFFER_COPY_TIMESTAMPS |
                                                             GST_BUFFER_COPY_MEMORY),
                             0, size);
    }
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = out;
    return GST_PAD_PROBE_OK;
}

void configureSink(GstElement* sink) {
    g_object_set(sink, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, "sync-method",
                 1 /* next-keyframe */, "recover-policy", 3 /* keyframe */, "unit-format",
                 GST_FORMAT_TIME, "units-soft-max", gint64{2000000000}, "units-max",
                 gint64{5000000000}, "timeout", guint64{5000000000}, nullptr);
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
    gst::Ref<GstElement> tee = gst::make("tee", "split");
    gst::Ref<GstElement> plain = gst::make("multisocketsink", "plain");
    gst::Ref<GstElement> framed = gst::make("multisocketsink", "framed");
    if (!rebase || !muxer || !tee || !plain || !framed)
        return; // a missing plugin: no service, the recording still runs
    // Encoders offset their time stamps by a large constant; the ASF times count milliseconds
    // in 32 bits, so viewers get the pipeline's running time instead.
    g_object_set(rebase.get(), "single-segment", TRUE, "silent", TRUE, nullptr);
    g_object_set(muxer.get(), "streamable", TRUE, "packet-size", options.packetSize, nullptr);
    configureSink(plain.get());
    configureSink(framed.get());
    for (GstElement* e :
         {rebase.get(), muxer.get(), cut.get(), tee.get(), plain.get(), framed.get()})
        gst_bin_add(GST_BIN(bin), e); // the bin takes a reference of its own
    if (!gst_element_link_many(muxer.get(), cut.get(), tee.get(), nullptr) ||
        !gst_element_link(tee.get(), plain.get()) || !gst_element_link(tee.get(), framed.get()))
        return;
    gst::Ref<GstPad> video(gst_element_request_pad_simple(muxer.get(), "video_%u"));
    gst::Ref<GstPad> rebased(gst_element_get_static_pad(rebase.get(), "src"));
    if (!video || gst_pad_link(rebased.get(), video.get()) != GST_PAD_LINK_OK)
        return;
    gst::Ref<GstPad> input(gst_element_get_static_pad(rebase.get(), "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", input.get()));

    gst::Ref<GstPad> framedInput(gst_element_get_static_pad(framed.get(), "sink"));
    gst_pad_add_probe(framedInput.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      frameForPlayers, server_, nullptr);
    g_signal_connect(plain.get(), "client-socket-removed", G_CALLBACK(onSocketRemoved), server_);
    g_signal_connect(framed.get(), "client-socket-removed", G_CALLBACK(onSocketRemoved), server_);
    server_->setSinks(plain.get(), framed.get());
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
    std::uint64_t total = 0;
    for (const char* name : {"plain", "framed"}) {
        gst::Ref<GstElement> sink(gst_bin_get_by_name(GST_BIN(bin_.get()), name));
        if (sink) {
            guint64 bytes = 0;
            g_object_get(sink.get(), "bytes-served", &bytes, nullptr);
            total += bytes;
        }
    }
    return total;
}

} // namespace norvale
