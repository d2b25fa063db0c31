#pragma once
// The HTTP side of the live stream: one listening port shared by every camera that serves on it,
// plain POSIX sockets and one thread, no GStreamer. The first camera attached (the first serving
// WMV1, where any does) answers at any address, each camera also at /camera/N with its own viewer
// limit. Its thread reads requests (with a time and size limit), answers them, and writes each
// viewer's stream from the viewer's own queue; it never blocks on a viewer, and a viewer that
// falls behind is dropped.
//
// A camera (StreamChannel) is fed from its streaming thread: its stream header, then packets
// marked where a key frame starts. Each viewer gets the header, then the packets from the next
// key frame on, with its send and presentation times moved to start there: raw ASF for plain
// HTTP clients, Windows Media chunk framing for players speaking that protocol.
#include "core/HttpRequest.h"
#include "core/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace norvale {

struct StreamListenerOptions {
    std::uint16_t port = 0; // 0: no service
    std::string bindAddress = "0.0.0.0";
    // A request head must arrive within this time and size.
    std::chrono::milliseconds requestTimeout{5000};
    std::size_t maxRequestSize = 8192;
    // Kernel send buffer of each viewer's socket: small, so a stalled viewer is noticed early.
    int sendBufferSize = 64 * 1024;
    // A viewer is dropped once the oldest part of its stream it has not yet taken was made this
    // long ago: it cannot keep up, and must neither hold up the others nor grow without bound.
    std::chrono::milliseconds stallTimeout{5000};
    // How long an answer that ends the connection (an error, a header) may take to leave.
    std::chrono::milliseconds writeTimeout{2000};
    // How long what a client still sends after such an answer is read before closing (closing a
    // socket with unread input resets the connection and may destroy the answer).
    std::chrono::milliseconds drainTimeout{500};
    // What a viewer may send once its request is answered (players send nothing more); a viewer
    // sending beyond this is dropped.
    std::size_t maxViewerInput = 8192;
    // Connections whose request is not yet answered. When they are all taken, a new connection
    // pushes out the oldest one still sending its request, so idle connections can never keep a
    // real viewer out; viewers receiving a stream count only against their camera's limit.
    std::size_t maxPendingConnections = 32;
    // A viewer whose queue grows beyond this is dropped whatever the clock says.
    std::size_t maxQueuedBytes = 4u << 20;
    // The clock of every time limit above, called from the listener's and the streaming
    // threads; empty: std::chrono::steady_clock. The first camera on a port sets the limits.
    std::function<std::chrono::steady_clock::time_point()> clock;
};

struct StreamViewer; // one viewer's queue, internal

// A camera's side of a listener: its limit, its header and its viewers. Owned by the camera's
// stream for its whole life and re-attached each time it runs; guarded by the listener's mutex
// while attached, except the counters.
struct StreamChannel {
    int camera = 0; // also served at /camera/N; 0: only at the port's root
    // Empty: the camera's stream is ASF (raw or in Windows Media framing, times rebased per
    // viewer). Else the stream's content type: served as it comes to every client, from the
    // next packet marked as a start on, after the header when there is one.
    std::string contentType;
    unsigned maxUsers = 0;
    bool attached = false;
    unsigned generation = 0; // counts attachments, so a connection of an earlier run is known
    unsigned seats = 0;
    std::string plainHeader, framedHeader;
    std::vector<std::shared_ptr<StreamViewer>> viewers;
    std::atomic<std::uint64_t> bytesServed{0};
};

class StreamListener {
public:
    using Clock = std::chrono::steady_clock;

    // The listener on this port, opened when none runs in this process; nothing when the port
    // cannot be opened (typically another program serves on it). The listener closes when the
    // last holder lets go.
    static std::shared_ptr<StreamListener> acquire(const StreamListenerOptions& options);
    explicit StreamListener(const StreamListenerOptions& options);
    ~StreamListener();
    StreamListener(const StreamListener&) = delete;
    StreamListener& operator=(const StreamListener&) = delete;

    void attach(const std::shared_ptr<StreamChannel>& channel);
    // Closes that camera's viewers.
    void detach(const std::shared_ptr<StreamChannel>& channel);
    // Streaming thread: the camera's stream header, and its data packets (`key`: a viewer may
    // start here; for ASF, a key frame starts the packet).
    void setHeader(StreamChannel& channel, const std::uint8_t* data, std::size_t size);
    void deliver(StreamChannel& channel, const std::uint8_t* data, std::size_t size, bool key);
    // Viewers receiving the camera's stream (or about to).
    unsigned seats(const StreamChannel& channel) const;

    struct Connection; // one accepted socket and its stage, listener thread only

private:
    bool start();
    void run();
    Clock::time_point now() const { return options_.clock ? options_.clock() : Clock::now(); }
    void wake();
    void refresh(Clock::time_point now);
    void acceptAll(Clock::time_point now);
    void readRequest(Connection& c, Clock::time_point now);
    void decide(Connection& c, const HttpParseResult& r, Clock::time_point now);
    void answerWhenHeaderKnown(Connection& c, Clock::time_point now);
    void respond(Connection& c, std::string bytes, Clock::time_point now);
    static std::string responseHead(const Connection& c);
    void writeSome(Connection& c, Clock::time_point now);
    void discardInput(Connection& c);
    void readViewerInput(Connection& c, short events);
    void expire(Connection& c, Clock::time_point now);
    void finish(Connection& c);
    std::shared_ptr<StreamChannel> route(int camera) const;

    const StreamListenerOptions options_;
    const Clock::duration stretch_; // of the viewers' queue times
    UniqueFd listenFd_;
    UniqueFd wakeFd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::list<Connection> connections_;   // listener thread only
    std::uint32_t nextClientId_ = 1;      // listener thread only
    Clock::time_point acceptPausedUntil_; // listener thread only

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<StreamChannel>> channels_; // in the order they were attached
};

} // namespace norvale
