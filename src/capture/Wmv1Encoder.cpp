// "norvalewmv1enc": WMV1 (Windows Media Video 7) encoder over libavcodec's wmv1 encoder.
//
// GStreamer's own avenc_wmv1 does not pass its bit rate to the encoder (its output is the same
// from 20 kbit/s to 2 Mbit/s), so recordings would ignore the camera's bit rate. This element
// sets libavcodec's rate control itself: `bitrate` in bits per second, `key-int-max` frames
// between key frames. Input: I420; output: video/x-wmv, wmvversion=1, one packet per frame.
//
// At low rates even the coarsest quantiser gives more than the rate on a moving picture, so
// the element also holds the rate itself: a leaky bucket fills with every packet and drains at
// the bit rate in stream time, and while it holds more than a quarter of a second of data the next
// frames are dropped (the previous picture simply stays longer). libavcodec's notes go to the
// GStreamer debug log, not the console.
#include "ASFWriter.h"
#include "CaptureElements.h"
#include "GstHandles.h"

#include <gst/video/gstvideoencoder.h>
#include <gst/video/video.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

struct Codec {
    std::unique_ptr<AVCodecContext, CodecContextFree> context;
    std::unique_ptr<AVFrame, FrameFree> frame;
    std::unique_ptr<AVPacket, PacketFree> packet;
    int64_t nextPts = 0;
    GstVideoInfo info{};
    // Bits sent beyond what the rate allowed so far, and the stream time that was counted.
    double bucketBits = 0;
    GstClockTime lastTime = GST_CLOCK_TIME_NONE;
    GstClockTime lastShown = GST_CLOCK_TIME_NONE; // of the last frame encoded
};

enum { PROP_0, PROP_BITRATE, PROP_KEY_INT_MAX };
constexpr guint defaultBitrate = 1024000;
constexpr guint defaultKeyIntMax = 45;

} // namespace

extern "C" {

struct NorvaleWmv1Enc {
    GstVideoEncoder parent;
    guint bitrate;
    guint keyIntMax;
    Codec* codec; // owned; created in set_format, freed in stop/finalize
};
struct NorvaleWmv1EncClass {
    GstVideoEncoderClass parent_class;
};

G_DEFINE_TYPE(NorvaleWmv1Enc, norvale_wmv1_enc, GST_TYPE_VIDEO_ENCODER)

static GstStaticPadTemplate sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format=(string)I420, width=(int)[16, 4096], "
                    "height=(int)[16, 4096], framerate=(fraction)[1/1, 120/1]"));
static GstStaticPadTemplate srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-wmv, wmvversion=(int)1, format=(string)WMV1"));

static void releaseCodec(NorvaleWmv1Enc* self) {
    std::unique_ptr<Codec> owned(self->codec);
    self->codec = nullptr;
}

static GstFlowReturn drainPackets(NorvaleWmv1Enc* self) {
    auto* enc = GST_VIDEO_ENCODER(self);
    Codec& c = *self->codec;
    for (;;) {
        int r = avcodec_receive_packet(c.context.get(), c.packet.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return GST_FLOW_OK;
        if (r < 0) {
            GST_ELEMENT_ERROR(self, LIBRARY, ENCODE, ("WMV1 encoding failed."), (nullptr));
            return GST_FLOW_ERROR;
        }
        GstVideoCodecFrame* frame = gst_video_encoder_get_oldest_frame(enc);
        if (!frame) {
            av_packet_unref(c.packet.get());
            continue;
        }
        frame->output_buffer = gst_buffer_new_memdup(c.packet->data, c.packet->size);
        c.bucketBits += 8.0 * c.packet->size;
        // After dropped frames a picture stands for the time since the last one shown; the
        // muxer adds up durations for the file's length.
        if (GST_CLOCK_TIME_IS_VALID(frame->pts) && GST_CLOCK_TIME_IS_VALID(c.lastShown) &&
            frame->pts > c.lastShown && GST_CLOCK_TIME_IS_VALID(frame->duration))
            frame->duration = std::max<GstClockTime>(frame->duration, frame->pts - c.lastShown);
        c.lastShown = frame->pts;
        if (c.packet->flags & AV_PKT_FLAG_KEY)
            GST_VIDEO_CODEC_FRAME_SET_SYNC_POINT(frame);
        av_packet_unref(c.packet.get());
        GstFlowReturn ret = gst_video_encoder_finish_frame(enc, frame);
        if (ret != GST_FLOW_OK)
            return ret;
    }
}

static gboolean norvale_wmv1_enc_set_format(GstVideoEncoder* enc, GstVideoCodecState* state) {
    auto* self = reinterpret_cast<NorvaleWmv1Enc*>(enc);
    releaseCodec(self);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMV1);
    if (!codec)
        return FALSE;
    auto c = std::make_unique<Codec>();
    c->context.reset(avcodec_alloc_context3(codec));
    c->frame.reset(av_frame_alloc());
    c->packet.reset(av_packet_alloc());
    if (!c->context || !c->frame || !c->packet)
        return FALSE;
    const GstVideoInfo& info = state->info;
    AVCodecContext* ctx = c->context.get();
    ctx->width = GST_VIDEO_INFO_WIDTH(&info);
    ctx->height = GST_VIDEO_INFO_HEIGHT(&info);
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    int fpsN = GST_VIDEO_INFO_FPS_N(&info) > 0 ? GST_VIDEO_INFO_FPS_N(&info) : 15;
    int fpsD = GST_VIDEO_INFO_FPS_D(&info) > 0 ? GST_VIDEO_INFO_FPS_D(&info) : 1;
    ctx->time_base = AVRational{fpsD, fpsN};
    ctx->framerate = AVRational{fpsN, fpsD};
    ctx->bit_rate = self->bitrate;
    ctx->rc_buffer_size = static_cast<int>(self->bitrate);
    ctx->rc_max_rate = self->bitrate + self->bitrate / 2;
    ctx->gop_size = static_cast<int>(self->keyIntMax);
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("Cannot open the WMV1 encoder."), (nullptr));
        return FALSE;
    }
    c->info = info;
    self->codec = c.release();

    GstCaps* caps = gst_caps_new_simple("video/x-wmv", "wmvversion", G_TYPE_INT, 1, "format",
                                        G_TYPE_STRING, "WMV1", nullptr);
    GstVideoCodecState* out = gst_video_encoder_set_output_state(enc, caps, state);
    gst_video_codec_state_unref(out);
    gst_video_encoder_set_latency(enc, 0, 0);
    return gst_video_encoder_negotiate(enc);
}

static GstFlowReturn norvale_wmv1_enc_handle_frame(GstVideoEncoder* enc,
                                                   GstVideoCodecFrame* frame) {
    auto* self = reinterpret_cast<NorvaleWmv1Enc*>(enc);
    if (!self->codec) {
        gst_video_codec_frame_unref(frame);
        return GST_FLOW_NOT_NEGOTIATED;
    }
    Codec& c = *self->codec;
    // Drain the bucket by the stream time since the last frame (a second at most, so a pause
    // earns no burst), then drop this frame while it holds more than a quarter of a second.
    const double rate = self->bitrate;
    if (GST_CLOCK_TIME_IS_VALID(frame->pts)) {
        if (GST_CLOCK_TIME_IS_VALID(c.lastTime) && frame->pts > c.lastTime) {
            const double elapsed =
                std::min(1.0, static_cast<double>(frame->pts - c.lastTime) / GST_SECOND);
            c.bucketBits = std::max(-rate / 4, c.bucketBits - rate * elapsed);
        }
        c.lastTime = frame->pts;
    }
    if (c.bucketBits > rate / 4 && !GST_VIDEO_CODEC_FRAME_IS_FORCE_KEYFRAME(frame))
        return gst_video_encoder_finish_frame(enc, frame); // no output: dropped
    GstVideoFrame video;
    bool mapped = gst_video_frame_map(&video, &c.info, frame->input_buffer, GST_MAP_READ);
    if (!mapped) {
        gst_video_codec_frame_unref(frame);
        return GST_FLOW_ERROR;
    }
    AVFrame* f = c.frame.get();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = c.context->width;
    f->height = c.context->height;
    for (int p = 0; p < 3; ++p) {
        f->data[p] = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&video, p));
        f->linesize[p] = GST_VIDEO_FRAME_PLANE_STRIDE(&video, p);
    }
    f->pts = c.nextPts++;
    f->pict_type =
        GST_VIDEO_CODEC_FRAME_IS_FORCE_KEYFRAME(frame) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int r = avcodec_send_frame(c.context.get(), f);
    gst_video_frame_unmap(&video);
    for (auto& d : f->data)
        d = nullptr;
    gst_video_codec_frame_unref(frame);
    if (r < 0) {
        GST_ELEMENT_ERROR(self, LIBRARY, ENCODE, ("WMV1 encoding failed."), (nullptr));
        return GST_FLOW_ERROR;
    }
    return drainPackets(self);
}

static GstFlowReturn norvale_wmv1_enc_finish(GstVideoEncoder* enc) {
    auto* self = reinterpret_cast<NorvaleWmv1Enc*>(enc);
    if (!self->codec)
        return GST_FLOW_OK;
    avcodec_send_frame(self->codec->context.get(), nullptr);
    return drainPackets(self);
}

static gboolean norvale_wmv1_enc_stop(GstVideoEncoder* enc) {
    releaseCodec(reinterpret_cast<NorvaleWmv1Enc*>(enc));
    return TRUE;
}

static void norvale_wmv1_enc_set_property(GObject* object, guint id, const GValue* value,
                                          GParamSpec* pspec) {
    auto* self = reinterpret_cast<NorvaleWmv1Enc*>(object);
    switch (id) {
    case PROP_BITRATE:
        self->bitrate = g_value_get_uint(value);
        break;
    case PROP_KEY_INT_MAX:
        self->keyIntMax = g_value_get_uint(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void norvale_wmv1_enc_get_property(GObject* object, guint id, GValue* value,
                                          GParamSpec* pspec) {
    auto* self = reinterpret_cast<NorvaleWmv1Enc*>(object);
    switch (id) {
    case PROP_BITRATE:
        g_value_set_uint(value, self->bitrate);
        break;
    case PROP_KEY_INT_MAX:
        g_value_set_uint(value, self->keyIntMax);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void norvale_wmv1_enc_finalize(GObject* object) {
    releaseCodec(reinterpret_cast<NorvaleWmv1Enc*>(object));
    G_OBJECT_CLASS(norvale_wmv1_enc_parent_class)->finalize(object);
}

static void norvale_wmv1_enc_class_init(NorvaleWmv1EncClass* klass) {
    GObjectClass* gobject = G_OBJECT_CLASS(klass);
    gobject->set_property = norvale_wmv1_enc_set_property;
    gobject->get_property = norvale_wmv1_enc_get_property;
    gobject->finalize = norvale_wmv1_enc_finalize;
    g_object_class_install_property(
        gobject, PROP_BITRATE,
        g_param_spec_uint("bitrate", "Bit rate", "Target bit rate in bits per second", 1000,
                          norvale::TASFWriter::MaxBitRate, defaultBitrate,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        gobject, PROP_KEY_INT_MAX,
        g_param_spec_uint("key-int-max", "Key frame spacing", "Frames between key frames", 1, 10000,
                          defaultKeyIntMax,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &srcTemplate);
    gst_element_class_set_static_metadata(element, "WMV1 encoder", "Codec/Encoder/Video",
                                          "Windows Media Video 7 with rate control", "Norvale");

    GstVideoEncoderClass* venc = GST_VIDEO_ENCODER_CLASS(klass);
    venc->set_format = norvale_wmv1_enc_set_format;
    venc->handle_frame = norvale_wmv1_enc_handle_frame;
    venc->finish = norvale_wmv1_enc_finish;
    venc->stop = norvale_wmv1_enc_stop;
}

static void norvale_wmv1_enc_init(NorvaleWmv1Enc* self) {
    self->bitrate = defaultBitrate;
    self->keyIntMax = defaultKeyIntMax;
    self->codec = nullptr;
}

} // extern "C"

namespace {

GST_DEBUG_CATEGORY_STATIC(wmv1Debug);

// libavcodec's notes ("rc buffer underflow", "clipping dct coefficients") are routine at low
// bit rates: they go to the debug log (GST_DEBUG=norvalewmv1enc:4), never to the console of a
// program that runs for days.
void toDebugLog(void*, int level, const char* format, va_list args) {
    if (level > av_log_get_level())
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    const GstDebugLevel gstLevel = level <= AV_LOG_ERROR     ? GST_LEVEL_WARNING
                                   : level <= AV_LOG_WARNING ? GST_LEVEL_INFO
                                                             : GST_LEVEL_DEBUG;
    GST_CAT_LEVEL_LOG(wmv1Debug, gstLevel, nullptr, "%s", line);
}

} // namespace

namespace norvale::gst {

gboolean registerWmv1Encoder(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(wmv1Debug, "norvalewmv1enc", 0, "WMV1 encoder");
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(toDebugLog);
    return gst_element_register(plugin, "norvalewmv1enc", GST_RANK_NONE,
                                norvale_wmv1_enc_get_type());
}

} // namespace norvale::gst
