#include "CapsMapping.h"

#include <gst/video/video.h>

#include <cstdlib>
#include <cstring>
#include <numeric>

namespace norvale::gst {
namespace {

struct RawFormat {
    const char* gstName;
    TGuid subtype;
    uint32_t compression;
    uint16_t bitCount;
};

const RawFormat rawFormats[] = {
    {"YUY2", fourCcGuid(fourCc("YUY2")), fourCc("YUY2"), 16},
    {"UYVY", fourCcGuid(fourCc("UYVY")), fourCc("UYVY"), 16},
    {"YVYU", fourCcGuid(fourCc("YVYU")), fourCc("YVYU"), 16},
    {"YV12", fourCcGuid(fourCc("YV12")), fourCc("YV12"), 12},
    {"YVU9", fourCcGuid(fourCc("YVU9")), fourCc("YVU9"), 9},
    {"Y41P", fourCcGuid(fourCc("Y41P")), fourCc("Y41P"), 12},
    {"I420", fourCcGuid(fourCc("IYUV")), fourCc("IYUV"), 12},
    {"NV12", fourCcGuid(fourCc("NV12")), fourCc("NV12"), 12},
    {"GRAY8", fourCcGuid(fourCc("Y800")), fourCc("Y800"), 8},
    {"BGR", mediatype::RGB24, 0, 24},
    {"BGRx", mediatype::RGB32, 0, 32},
    {"BGRA", mediatype::ARGB32, 0, 32},
    {"RGB16", mediatype::RGB565, 3, 16},
    {"RGB15", mediatype::RGB555, 0, 16},
    {"RGB8P", mediatype::RGB8, 0, 8},
};

int intField(const GstStructure* s, const char* name, int def = 0) {
    int v;
    return gst_structure_get_int(s, name, &v) ? v : def;
}

int64_t frameTime(const GstStructure* s) {
    int n, d;
    if (gst_structure_get_fraction(s, "framerate", &n, &d) && n > 0 && d > 0)
        return static_cast<int64_t>(10000000LL * d / n);
    return 0;
}

bool squarePixels(const GstStructure* s, int& parN, int& parD) {
    parN = parD = 1;
    if (!gst_structure_get_fraction(s, "pixel-aspect-ratio", &parN, &parD) || parN <= 0 ||
        parD <= 0) {
        parN = parD = 1;
        return true;
    }
    return parN == parD;
}

bool progressive(const GstStructure* s) {
    const gchar* mode = gst_structure_get_string(s, "interlace-mode");
    return !mode || std::strcmp(mode, "progressive") == 0;
}

AmMediaType videoType(const TGuid& subtype, const TGuid& formattype, const BitmapInfoHeader& bih,
                      const GstStructure* s, bool fixedSize, bool temporal) {
    AmMediaType mt;
    mt.majortype = mediatype::Video;
    mt.subtype = subtype;
    mt.bFixedSizeSamples = fixedSize;
    mt.bTemporalCompression = temporal;
    mt.lSampleSize = fixedSize ? bih.biSizeImage : 1;
    mt.formattype = formattype;
    if (formattype == mediatype::VideoInfo2 || formattype == mediatype::Mpeg2Video) {
        int parN, parD;
        squarePixels(s, parN, parD);
        uint64_t ax = static_cast<uint64_t>(std::abs(bih.biWidth)) * static_cast<uint64_t>(parN);
        uint64_t ay = static_cast<uint64_t>(std::abs(bih.biHeight)) * static_cast<uint64_t>(parD);
        uint64_t g = std::gcd(ax, ay);
        if (g == 0)
            g = 1;
        uint32_t interlace = progressive(s) ? 0 : 0x1; // AMINTERLACE_IsInterlaced
        mt.format = MakeVideoInfo2(bih, frameTime(s), static_cast<uint32_t>(ax / g),
                                   static_cast<uint32_t>(ay / g), interlace);
        if (formattype == mediatype::Mpeg2Video)
            mt.format.resize(mt.format.size() + 24, 0); // start code, profile, level, flags, header
    } else {
        mt.format = MakeVideoInfo(bih, frameTime(s));
        if (formattype == mediatype::MpegVideo)
            mt.format.resize(mt.format.size() + 12, 0); // start code, header size, header
    }
    return mt;
}

BitmapInfoHeader pictureHeader(const GstStructure* s, uint32_t compression, uint16_t bitCount) {
    BitmapInfoHeader bih;
    bih.biWidth = intField(s, "width");
    bih.biHeight = intField(s, "height");
    bih.biBitCount = bitCount;
    bih.biCompression = compression;
    bih.biSizeImage = static_cast<uint32_t>(bih.imageSize());
    return bih;
}

} // namespace

Structure fixatedCopy(const GstStructure* s) {
    Structure copy(gst_structure_copy(s));
    GstStructure* c = copy.get();
    if (gst_structure_has_field(c, "width"))
        gst_structure_fixate_field_nearest_int(c, "width", 640);
    if (gst_structure_has_field(c, "height"))
        gst_structure_fixate_field_nearest_int(c, "height", 480);
    if (gst_structure_has_field(c, "framerate"))
        gst_structure_fixate_field_nearest_fraction(c, "framerate", 30, 1);
    if (gst_structure_has_field(c, "pixel-aspect-ratio"))
        gst_structure_fixate_field_nearest_fraction(c, "pixel-aspect-ratio", 1, 1);
    gst_structure_fixate(c);
    return copy;
}

AmMediaType mediaTypeFromStructure(const GstStructure* original, bool topDownRgb,
                                   bool plainVideoInfo) {
    Structure fixed = fixatedCopy(original);
    const GstStructure* s = fixed.get();
    const std::string name = gst_structure_get_name(s);

    if (name == "video/x-raw") {
        const gchar* format = gst_structure_get_string(s, "format");
        std::string fmt = format ? format : "";
        TGuid subtype;
        uint32_t compression = 0;
        uint16_t bits = 0;
        bool known = false;
        for (const auto& f : rawFormats)
            if (fmt == f.gstName) {
                subtype = f.subtype;
                compression = f.compression;
                bits = f.bitCount;
                known = true;
            }
        GstVideoInfo info;
        Caps caps(gst_caps_new_full(gst_structure_copy(s), nullptr));
        bool haveInfo = gst_video_info_from_caps(&info, caps.get());
        if (!known) {
            uint32_t code = haveInfo ? gst_video_format_to_fourcc(GST_VIDEO_INFO_FORMAT(&info)) : 0;
            if (code != 0) {
                subtype = fourCcGuid(code);
                compression = code;
            }
            if (haveInfo && info.width > 0 && info.height > 0)
                bits = static_cast<uint16_t>(
                    info.size * 8 /
                    (static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height)));
        }
        BitmapInfoHeader bih = pictureHeader(s, compression, bits);
        if (haveInfo && compression == 0 && known)
            bih.biSizeImage = static_cast<uint32_t>(info.size);
        if (topDownRgb && compression == 0)
            bih.biHeight = -bih.biHeight;
        int parN, parD;
        bool kind2 = !plainVideoInfo && (!squarePixels(s, parN, parD) || !progressive(s));
        return videoType(subtype, kind2 ? mediatype::VideoInfo2 : mediatype::VideoInfo, bih, s,
                         true, false);
    }
    if (name == "image/jpeg") {
        BitmapInfoHeader bih = pictureHeader(s, fourCc("MJPG"), 24);
        return videoType(fourCcGuid(fourCc("MJPG")), mediatype::VideoInfo, bih, s, false, false);
    }
    if (name == "video/x-h264" || name == "video/x-h265") {
        uint32_t code = name == "video/x-h264" ? fourCc("H264") : fourCc("HEVC");
        BitmapInfoHeader bih = pictureHeader(s, code, 24);
        return videoType(fourCcGuid(code), mediatype::VideoInfo2, bih, s, false, true);
    }
    if (name == "video/mpeg") {
        int version = intField(s, "mpegversion", 1);
        if (version == 1) {
            BitmapInfoHeader bih = pictureHeader(s, 0, 24);
            return videoType(mediatype::MPEG1Payload, mediatype::MpegVideo, bih, s, false, true);
        }
        BitmapInfoHeader bih = pictureHeader(s, fourCc("MPG2"), 24);
        return videoType(mediatype::MPEG2Video, mediatype::Mpeg2Video, bih, s, false, true);
    }
    if (name == "video/x-dv") {
        AmMediaType mt;
        mt.majortype = mediatype::Video;
        mt.subtype = fourCcGuid(fourCc("dvsd"));
        mt.formattype = mediatype::DvInfo;
        mt.format.assign(32, 0);
        return mt;
    }
    if (name == "audio/x-raw") {
        AmMediaType mt;
        mt.majortype = mediatype::Audio;
        const gchar* format = gst_structure_get_string(s, "format");
        bool isFloat = format && format[0] == 'F';
        uint16_t tag = isFloat ? 3 : 1;
        mt.subtype = fourCcGuid(tag);
        mt.formattype = mediatype::WaveFormatEx;
        int bits = 16;
        if (format) {
            std::string f = format;
            if (f.find("32") != std::string::npos)
                bits = 32;
            else if (f.find("24") != std::string::npos)
                bits = 24;
            else if (f.find('8') != std::string::npos)
                bits = 8;
        }
        mt.format = MakeWaveFormatEx(tag, static_cast<uint16_t>(intField(s, "channels", 1)),
                                     static_cast<uint32_t>(intField(s, "rate", 0)),
                                     static_cast<uint16_t>(bits));
        return mt;
    }
    AmMediaType mt;
    if (name.rfind("video/", 0) == 0 || name.rfind("image/", 0) == 0)
        mt.majortype = mediatype::Video;
    else if (name.rfind("audio/", 0) == 0)
        mt.majortype = mediatype::Audio;
    mt.bFixedSizeSamples = false;
    return mt;
}

bool rawVideoInfo2(const GstStructure* original) {
    if (std::strcmp(gst_structure_get_name(original), "video/x-raw") != 0)
        return false;
    Structure fixed = fixatedCopy(original);
    int parN, parD;
    return !squarePixels(fixed.get(), parN, parD) || !progressive(fixed.get());
}

std::vector<std::pair<AmMediaType, std::string>> deviceFormatTypes(const GstCaps* caps) {
    std::vector<std::pair<AmMediaType, std::string>> out;
    for (guint i = 0; caps && i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        std::string text = take(gst_structure_to_string(s));
        if (rawVideoInfo2(s))
            out.emplace_back(mediaTypeFromStructure(s, false, true), text);
        out.emplace_back(mediaTypeFromStructure(s), std::move(text));
    }
    return out;
}

namespace {

bool hasSystemMemory(const GstCaps* caps, guint index) {
    GstCapsFeatures* f = gst_caps_get_features(caps, index);
    return !f || gst_caps_features_is_any(f) ||
           gst_caps_features_contains(f, GST_CAPS_FEATURE_MEMORY_SYSTEM_MEMORY);
}

struct Rate {
    int n = 0, d = 1;
    double value() const { return d > 0 ? static_cast<double>(n) / d : 0.0; }
};

// The highest frame rate a structure offers (a fixed rate, a list or a range).
Rate highestRate(const GstStructure* s) {
    Rate best;
    const GValue* v = gst_structure_get_value(s, "framerate");
    if (!v)
        return best;
    auto consider = [&best](const GValue* f) {
        if (!GST_VALUE_HOLDS_FRACTION(f))
            return;
        Rate r{gst_value_get_fraction_numerator(f), gst_value_get_fraction_denominator(f)};
        if (r.value() > best.value())
            best = r;
    };
    if (GST_VALUE_HOLDS_LIST(v)) {
        for (guint i = 0; i < gst_value_list_get_size(v); ++i)
            consider(gst_value_list_get_value(v, i));
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(v)) {
        consider(gst_value_get_fraction_range_max(v));
    } else {
        consider(v);
    }
    return best;
}

Structure fixedAt(const GstStructure* s, int width, int height, Rate rate) {
    Structure copy(gst_structure_copy(s));
    GstStructure* c = copy.get();
    if (gst_structure_has_field(c, "width"))
        gst_structure_fixate_field_nearest_int(c, "width", width);
    if (gst_structure_has_field(c, "height"))
        gst_structure_fixate_field_nearest_int(c, "height", height);
    if (gst_structure_has_field(c, "framerate") && rate.n > 0)
        gst_structure_fixate_field_nearest_fraction(c, "framerate", rate.n, rate.d);
    return fixatedCopy(c);
}

std::string kindOf(const GstStructure* s) {
    const std::string name = gst_structure_get_name(s);
    if (name != "video/x-raw")
        return name;
    const gchar* format = gst_structure_get_string(s, "format");
    return format ? format : "";
}

} // namespace

Structure choosePreviewStructure(const GstCaps* caps, int currentWidth, int currentHeight,
                                 const std::string& currentFormat) {
    std::vector<const GstStructure*> candidates;
    for (guint i = 0; caps && i < gst_caps_get_size(caps); ++i)
        if (hasSystemMemory(caps, i))
            candidates.push_back(gst_caps_get_structure(caps, i));
    if (candidates.empty())
        return Structure();

    if (currentWidth > 0 && currentHeight > 0 && !currentFormat.empty()) {
        for (const GstStructure* s : candidates) {
            Structure fixed = fixedAt(s, currentWidth, currentHeight, highestRate(s));
            int w = 0, h = 0;
            gst_structure_get_int(fixed.get(), "width", &w);
            gst_structure_get_int(fixed.get(), "height", &h);
            if (w == currentWidth && h == currentHeight && kindOf(fixed.get()) == currentFormat)
                return fixed;
        }
    }

    std::vector<const GstStructure*> raw;
    for (const GstStructure* s : candidates)
        if (std::strcmp(gst_structure_get_name(s), "video/x-raw") == 0)
            raw.push_back(s);
    const std::vector<const GstStructure*>& pool = raw.empty() ? candidates : raw;

    const GstStructure* best = nullptr;
    long bestDistance = 0;
    Rate bestRate;
    for (const GstStructure* s : pool) {
        Structure fixed = fixatedCopy(s); // nearest 640x480
        int w = 0, h = 0;
        gst_structure_get_int(fixed.get(), "width", &w);
        gst_structure_get_int(fixed.get(), "height", &h);
        const long distance = std::labs(w - 640L) + std::labs(h - 480L);
        const Rate rate = highestRate(s);
        const bool fast = rate.value() >= 15.0, bestFast = bestRate.value() >= 15.0;
        bool better = !best;
        if (best) {
            if (fast != bestFast)
                better = fast;
            else if (distance != bestDistance)
                better = distance < bestDistance;
            else
                better = rate.value() > bestRate.value();
        }
        if (better) {
            best = s;
            bestDistance = distance;
            bestRate = rate;
        }
    }
    return fixedAt(best, 640, 480, bestRate);
}

} // namespace norvale::gst
