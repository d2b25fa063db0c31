#pragma once
// The live network stream of a recording camera: the writer's compressed video served over HTTP
// on the camera's port to a limited number of viewers at once.
//
// Plugging it in. The component is one element (a bin) with a single "sink" pad that takes the
// encoded video (video/x-wmv, wmvversion=1). It belongs after the encoder, beside the file
// branch, each branch behind its own queue so that neither can hold up the other:
//
//     ... ! encoder ! tee name=t
//         t. ! queue ! asfmux ! filesink            (the recording)
//         t. ! queue leaky=downstream ! <element()> (the viewers)
//
//     NetworkStream stream(port, maxUsers);
//     gst_bin_add(GST_BIN(pipeline), stream.element());   // the pipeline takes its own reference
//     link the branch's queue to stream.element()
//
// Inside, a muxer of its own writes streamable ASF (the file's muxer rewrites its header when the
// recording ends; viewers must never see that), and packets are marked as key-frame packets only
// where a key frame starts. Each viewer gets the header, then the packets from the next key frame
// on, with its send and presentation times moved to start at that key frame (a player joining a
// stream that has run for minutes would otherwise see times far from 0, which some stop on):
// raw ASF for plain HTTP clients, Windows Media chunk framing ($H, $D, packets numbered from 0)
// for players speaking that protocol (User-Agent NSPlayer). Nothing in it syncs to the clock or
// blocks preroll, so a live recording pipeline is never held up by viewers.
//
// A camera recorded in its own compressed stream (`ownStream`) is served without re-encoding:
// H.264/H.265 in MPEG-TS (its parameter sets repeated at every key frame, so a viewer joining
// at any packet soon decodes), MJPEG as multipart JPEG, each viewer from the next whole TS
// buffer or picture on.
//
// Cameras on the same port share one listener: the first camera that takes the port (the first
// serving WMV1, where any does) answers at any address, and every camera also at /camera/N
// (N = `camera`), each with its own MaxUsers. The port is opened when the first camera's element
// goes from READY to PAUSED and closed when the last one goes back to READY (or is destroyed); a
// camera leaving closes its own viewers. A port that cannot be opened (another program serves on
// it) is not an error: listening() is false and the recording goes on without network service.
// Port 0 or MaxUsers 0 serve nothing.
//
// Requests are read by the listener's thread (never the GUI thread) with a time and size limit:
// garbage and malformed heads get 400, oversized ones 413, slow ones 408, other methods than GET
// and HEAD 405, /camera/N of no serving camera 404; a viewer beyond MaxUsers gets 503. Only a
// viewer receiving the stream takes a slot; connections still sending their request are capped
// on their own, the oldest making room for a newcomer, so idle connections never lock viewers
// out. Each answer is followed by closing the connection. A viewer that falls behind (by
// `stallTimeout`, 5 s) is dropped, never stalling the recording or the other viewers. A viewer
// that closes its sending side after its request (as HTTP/1.0 allows) keeps its stream; what a
// viewer sends after its request is read and thrown away, up to a limit.
#include "StreamListener.h"

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <string>

namespace norvale {

// The listener's limits (port, timeouts, clock) and this camera's own.
struct NetworkStreamOptions : StreamListenerOptions {
    unsigned maxUsers = 8; // 0: no service
    // Bytes per ASF data packet.
    unsigned packetSize = 1400;
    // The camera number the stream is also served at (/camera/N); 0: only at the port's root.
    int camera = 0;
    // How long players are told to buffer before they start: the viewers' delay behind the
    // camera.
    unsigned prerollMs = 0;
    // The camera's own compressed stream the element takes instead of WMV1: "video/x-h264" and
    // "video/x-h265" are served as MPEG-TS (video/mp2t), "image/jpeg" as a multipart JPEG
    // stream (multipart/x-mixed-replace), both as they come to every client. Empty: WMV1 as ASF.
    std::string ownStream;
};

class StreamServer; // internal

class NetworkStream {
public:
    NetworkStream(std::uint16_t port, unsigned maxUsers);
    explicit NetworkStream(const NetworkStreamOptions& options);
    // Closes every viewer's socket and releases the port, also while the pipeline still runs.
    ~NetworkStream();
    NetworkStream(const NetworkStream&) = delete;
    NetworkStream& operator=(const NetworkStream&) = delete;

    // The bin to add to the pipeline; valid for the component's life.
    GstElement* element() const { return bin_.get(); }

    bool listening() const;
    std::uint16_t port() const;
    // Viewers currently receiving this camera's stream (or about to).
    unsigned viewers() const;
    // Bytes sent to viewers so far.
    std::uint64_t bytesServed() const;
    // What the viewers' header says about the stream (bits per second, 100 ns per frame);
    // taken for the next header the muxer makes. Not set: the muxer's own values.
    void setHeaderFacts(std::uint32_t bitRate, std::uint64_t avgTimePerFrame);

private:
    struct Unref {
        void operator()(GstElement* e) const { gst_object_unref(e); }
    };
    std::unique_ptr<GstElement, Unref> bin_;
    StreamServer* server_ = nullptr; // owned by the bin
};

} // namespace norvale
