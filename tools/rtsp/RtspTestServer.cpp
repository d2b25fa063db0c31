#include "RtspTestServer.h"

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <mutex>
#include <vector>

namespace norvale::test {

// The size filters of the media made so far, so a size change reaches the running streams.
struct RtspTestServer::Shared {
    std::mutex lock;
    int width = 0;
    int height = 0;
    int fps = 15;
    std::vector<GstElement*> sizeFilters; // one reference each
    ~Shared() {
        for (GstElement* e : sizeFilters)
            gst_object_unref(e);
    }
    GstCaps* caps() const {
        return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width",
                                   G_TYPE_INT, width, "height", G_TYPE_INT, height, "framerate",
                                   GST_TYPE_FRACTION, fps, 1, nullptr);
    }
};

namespace {

void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
    auto* shared = static_cast<RtspTestServer::Shared*>(data);
    GstElement* bin = gst_rtsp_media_get_element(media);
    GstElement* filter = gst_bin_get_by_name(GST_BIN(bin), "size");
    gst_object_unref(bin);
    if (!filter)
        return;
    std::lock_guard lock(shared->lock);
    GstCaps* caps = shared->caps();
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    shared->sizeFilters.push_back(filter);
}

GstRTSPFilterResult closeClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
    return GST_RTSP_FILTER_REMOVE;
}

void addMount(GstRTSPMountPoints* mounts, const char* path, const std::string& launch, bool secured,
              bool tcpOnly, RtspTestServer::Shared* shared) {
    GstRTSPMediaFactory* f = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(f, launch.c_str());
    if (tcpOnly)
        gst_rtsp_media_factory_set_protocols(f, GST_RTSP_LOWER_TRANS_TCP);
    gst_rtsp_media_factory_set_shared(f, TRUE);
    g_signal_connect(f, "media-configure", G_CALLBACK(onMediaConfigure), shared);
    if (secured)
        gst_rtsp_media_factory_add_role(f, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                        G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                        G_TYPE_BOOLEAN, TRUE, nullptr);
    gst_rtsp_mount_points_add_factory(mounts, path, f);
}

} // namespace

RtspTestServer::RtspTestServer(RtspServerOptions options) : options_(std::move(options)) {
    gst_init(nullptr, nullptr);
    shared_ = new Shared;
    shared_->width = options_.width;
    shared_->height = options_.height;
    shared_->fps = options_.fps;
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, options_.address.c_str());
    gst_rtsp_server_set_service(server_, std::to_string(options_.port).c_str());
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
    const std::string video = "videotestsrc is-live=true pattern=ball ! capsfilter name=size";
    const bool secured = !options_.user.empty();
    addMount(mounts, "/h264",
             "( " + video +
                 " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 ! "
                 "rtph264pay name=pay0 pt=96 config-interval=1 )",
             secured, options_.tcpOnly, shared_);
    addMount(mounts, "/mjpeg", "( " + video + " ! jpegenc ! rtpjpegpay name=pay0 pt=26 )", secured,
             options_.tcpOnly, shared_);
    g_object_unref(mounts);
    if (secured) {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        GstRTSPToken* token =
            gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", nullptr);
        gchar* basic = gst_rtsp_auth_make_basic(options_.user.c_str(), options_.password.c_str());
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(server_, auth);
        g_object_unref(auth);
    }
    source_ = gst_rtsp_server_attach(server_, context_);
    port_ = source_ ? gst_rtsp_server_get_bound_port(server_) : 0;
    thread_ = std::thread([this] { g_main_loop_run(loop_); });
}

RtspTestServer::~RtspTestServer() {
    gst_rtsp_server_client_filter(server_, closeClient, nullptr);
    // Quit from inside the loop: a quit before the loop has started running would be lost.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(quit, context_);
    g_source_unref(quit);
    thread_.join();
    if (source_)
        if (GSource* s = g_main_context_find_source_by_id(context_, source_))
            g_source_destroy(s);
    g_object_unref(server_);
    g_main_loop_unref(loop_);
    // What clients and media left in the context goes with it.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_unref(context_);
    delete shared_;
}

std::string RtspTestServer::url(const char* path) const {
    return "rtsp://" + options_.address + ":" + std::to_string(port_) + path;
}

void RtspTestServer::setSize(int width, int height) {
    std::lock_guard lock(shared_->lock);
    shared_->width = width;
    shared_->height = height;
    GstCaps* caps = shared_->caps();
    for (GstElement* filter : shared_->sizeFilters)
        g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
}

} // namespace norvale::test
