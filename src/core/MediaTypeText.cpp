#include "MediaTypeText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace norvale {
namespace {

uint16_t rd16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t rd32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void wr16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void wr32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void wr64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct GuidName {
    TGuid id;
    const char* name;
};

constexpr TGuid family524F(uint32_t d1) {
    return TGuid{d1, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
}
constexpr TGuid family7817(uint32_t d1) {
    return TGuid{d1, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
}
constexpr TGuid familyDB46(uint32_t d1) {
    return TGuid{d1, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
}
constexpr TGuid family310C(uint32_t d1) {
    return TGuid{d1, 0x310C, 0x11D0, {0xB7, 0x9A, 0x00, 0xAA, 0x00, 0x37, 0x67, 0xA7}};
}
constexpr TGuid familyE163(uint32_t d1) {
    return TGuid{d1, 0xE163, 0x11D0, {0xBA, 0xD9, 0x00, 0x60, 0x97, 0x44, 0x11, 0x1A}};
}
constexpr TGuid family1A22(uint32_t d1) {
    return TGuid{d1, 0x1A22, 0x11D1, {0xBA, 0xD9, 0x00, 0x60, 0x97, 0x44, 0x11, 0x1A}};
}
constexpr TGuid fcc(const char (&s)[5]) {
    return fourCcGuid(fourCc(s));
}

// Table A.
constexpr GuidName majorTypes[] = {
    {guid("{0482DEE1-7817-11CF-8A03-00AA006ECB65}"), "AnalogAudio"},
    {guid("{0482DDE1-7817-11CF-8A03-00AA006ECB65}"), "Analogvideo"},
    {fcc("auds"), "Audio"},
    {guid("{670AEA80-3A82-11D0-B79B-00AA003767A7}"), "AUXLine21Data"},
    {fcc("file"), "File"},
    {fcc("iavs"), "Interleaved"},
    {fcc("mlrt"), "LMRT"},
    {fcc("mids"), "Midi"},
    {guid("{E06D8020-DB46-11CF-B4D1-00805F6CBBEA}"), "MPEG2_PES"},
    {fcc("dmcs"), "ScriptCommand"},
    {guid("{E436EB83-524F-11CE-9F53-0020AF0BA770}"), "Stream"},
    {fcc("txts"), "Text"},
    {guid("{0482DEE3-7817-11CF-8A03-00AA006ECB65}"), "Timecode"},
    {fcc("urls"), "URL_STREAM"},
    {fcc("vids"), "Video"},
};

// Table B (97 entries).
constexpr GuidName subTypes[] = {
    {fcc("CLPL"), "CLPL"},
    {fcc("YUYV"), "YUYV"},
    {fcc("IYUV"), "IYUV"},
    {fcc("YVU9"), "YVU9"},
    {fcc("Y411"), "Y411"},
    {fcc("Y41P"), "Y41P"},
    {fcc("YUY2"), "YUY2"},
    {fcc("YVYU"), "YVYU"},
    {fcc("UYVY"), "UYVY"},
    {fcc("Y211"), "Y211"},
    {fcc("YV12"), "YV12"},
    {fcc("CLJR"), "CLJR"},
    {fcc("IF09"), "IF09"},
    {fcc("CPLA"), "CPLA"},
    {fcc("MJPG"), "MJPG"},
    {fcc("TVMJ"), "TVMJ"},
    {fcc("WAKE"), "WAKE"},
    {fcc("CFCC"), "CFCC"},
    {fcc("IJPG"), "IJPG"},
    {fcc("Plum"), "Plum"},
    {fcc("DVCS"), "DVCS"},
    {fcc("DVSD"), "DVSD"},
    {fcc("MDVF"), "MDVF"},
    {fcc("dvhd"), "dvhd"},
    {fcc("dvsl"), "dvsl"},
    {fcc("DIVX"), "DIVX"},
    {fcc("rpza"), "QTRpza"},
    {fcc("smc "), "QTSmc"},
    {fcc("rle "), "QTRle"},
    {fcc("jpeg"), "QTJpeg"},
    {fcc("dvsd"), "dvsd_"},
    {fcc("MP42"), "MS-MPEG4"},
    {fourCcGuid(0x0001), "PCM"},
    {fourCcGuid(0x0003), "IEEE_FLOAT"},
    {fourCcGuid(0x0009), "DRM_Audio"},
    {fourCcGuid(0x0050), "MPEG1AudioPayload"},
    {fourCcGuid(0x0075), "VOXWARE_MetaSound"},
    {fourCcGuid(0x0092), "DOLBY_AC3_SPDIF"},
    {fourCcGuid(0x0240), "RAW_SPORT"},
    {fourCcGuid(0x0241), "SPDIF_TAG_241h"},
    {family524F(0xE436EB78), "RGB1"},
    {family524F(0xE436EB79), "RGB4"},
    {family524F(0xE436EB7A), "RGB8"},
    {family524F(0xE436EB7B), "RGB565"},
    {family524F(0xE436EB7C), "RGB555"},
    {family524F(0xE436EB7D), "RGB24"},
    {family524F(0xE436EB7E), "RGB32"},
    {family524F(0xE436EB7F), "Overlay"},
    {family524F(0xE436EB80), "MPEG1Packet"},
    {family524F(0xE436EB81), "MPEG1Payload"},
    {family524F(0xE436EB84), "MPEG1System"},
    {family524F(0xE436EB85), "MPEG1VideoCD"},
    {family524F(0xE436EB86), "MPEG1Video"},
    {family524F(0xE436EB87), "MPEG1Audio"},
    {family524F(0xE436EB88), "Avi"},
    {family524F(0xE436EB89), "QTMovie"},
    {family524F(0xE436EB8A), "PCMAudio_Obsolete"},
    {family524F(0xE436EB8B), "WAVE"},
    {family524F(0xE436EB8C), "AU"},
    {family524F(0xE436EB8D), "AIFF"},
    {family7817(0x0482DDE2), "AnalogVideo_NTSC_M"},
    {family7817(0x0482DDE5), "AnalogVideo_PAL_B"},
    {family7817(0x0482DDE6), "AnalogVideo_PAL_D"},
    {family7817(0x0482DDE7), "AnalogVideo_PAL_G"},
    {family7817(0x0482DDE8), "AnalogVideo_PAL_H"},
    {family7817(0x0482DDE9), "AnalogVideo_PAL_I"},
    {family7817(0x0482DDEA), "AnalogVideo_PAL_M"},
    {family7817(0x0482DDEB), "AnalogVideo_PAL_N"},
    {family7817(0x0482DDEC), "AnalogVideo_PAL_N_COMBO"},
    {family7817(0x0482DDF0), "AnalogVideo_SECAM_B"},
    {family7817(0x0482DDF1), "AnalogVideo_SECAM_D"},
    {family7817(0x0482DDF2), "AnalogVideo_SECAM_G"},
    {family7817(0x0482DDF3), "AnalogVideo_SECAM_H"},
    {family7817(0x0482DDF4), "AnalogVideo_SECAM_K"},
    {family7817(0x0482DDF5), "AnalogVideo_SECAM_K1"},
    {family7817(0x0482DDF6), "AnalogVideo_SECAM_L"},
    {familyDB46(0xE06D8026), "MPEG2_VIDEO"},
    {familyDB46(0xE06D8022), "MPEG2_PROGRAM"},
    {familyDB46(0xE06D8023), "MPEG2_TRANSPORT"},
    {familyDB46(0xE06D802B), "MPEG2_AUDIO"},
    {familyDB46(0xE06D802C), "DOLBY_AC3"},
    {familyDB46(0xE06D802D), "DVD_SUBPICTURE"},
    {familyDB46(0xE06D8032), "DVD_LPCM_AUDIO"},
    {familyDB46(0xE06D8033), "DTS"},
    {familyDB46(0xE06D8034), "SDDS"},
    {familyDB46(0xE06D802F), "PCI"},
    {familyDB46(0xE06D8030), "DSI"},
    {familyDB46(0xE06D8031), "PROVIDER"},
    {family310C(0x6E8D4A22), "Line21_BytePair"},
    {family310C(0x6E8D4A23), "Line21_GOPPacket"},
    {family310C(0x6E8D4A24), "Line21_VBIRawData"},
    {familyE163(0xA0AF4F81), "DssVideo"},
    {familyE163(0xA0AF4F82), "DssAudio"},
    {family1A22(0x5A9B6A40), "VPVideo"},
    {family1A22(0x5A9B6A41), "VPVBI"},
    {guid("{773C9AC0-3274-11D0-B724-00AA006C1A01}"), "ARGB32"},
    {guid("{3DB80F90-9412-11D1-ADED-0000F8754B99}"), "Asf"},
};
static_assert(std::size(subTypes) == 97);

struct WaveName {
    uint16_t tag;
    const char* name;
};
// Table D (64 entries).
constexpr WaveName waveNames[] = {
    {1, "PCM"},
    {2, "ADPCM"},
    {3, "IEEE_FLOAT"},
    {5, "IBM_CVSD"},
    {6, "ALAW"},
    {7, "MULAW"},
    {16, "OKI_ADPCM"},
    {17, "DVI_ADPCM"},
    {18, "MEDIASPACE_ADPCM"},
    {19, "SIERRA_ADPCM"},
    {20, "G723_ADPCM"},
    {21, "DIGISTD"},
    {22, "DIGIFIX"},
    {23, "DIALOGIC_OKI_ADPCM"},
    {24, "MEDIAVISION_ADPCM"},
    {32, "YAMAHA_ADPCM"},
    {33, "SONARC"},
    {34, "DSPGROUP_TRUESPEECH"},
    {35, "ECHOSC1"},
    {36, "AUDIOFILE_AF36"},
    {37, "APTX"},
    {38, "AUDIOFILE_AF10"},
    {48, "DOLBY_AC2"},
    {49, "GSM610"},
    {50, "MSNAUDIO"},
    {51, "ANTEX_ADPCME"},
    {52, "CONTROL_RES_VQLPC"},
    {53, "DIGIREAL"},
    {54, "DIGIADPCM"},
    {55, "CONTROL_RES_CR10"},
    {56, "NMS_VBXADPCM"},
    {57, "CS_IMAADPCM"},
    {58, "ECHOSC3"},
    {59, "ROCKWELL_ADPCM"},
    {60, "ROCKWELL_DIGITALK"},
    {61, "XEBEC"},
    {64, "G721_ADPCM"},
    {65, "G728_CELP"},
    {80, "MPEG"},
    {85, "MPEGLAYER3"},
    {96, "CIRRUS"},
    {97, "ESPCM"},
    {98, "VOXWARE"},
    {99, "CANOPUS_ATRAC"},
    {100, "G726_ADPCM"},
    {101, "G722_ADPCM"},
    {102, "DSAT"},
    {103, "DSAT_DISPLAY"},
    {117, "VOXWARE"},
    {128, "SOFTSOUND"},
    {256, "RHETOREX_ADPCM"},
    {512, "CREATIVE_ADPCM"},
    {514, "CREATIVE_FASTSPEECH8"},
    {515, "CREATIVE_FASTSPEECH10"},
    {544, "QUARTERDECK"},
    {768, "FM_TOWNS_SND"},
    {1024, "BTV_DIGITAL"},
    {4096, "OLIGSM"},
    {4097, "OLIADPCM"},
    {4098, "OLICELP"},
    {4099, "OLISBC"},
    {4100, "OLIOPR"},
    {4352, "LH_CODEC"},
    {5120, "NORRIS"},
};
static_assert(std::size(waveNames) == 64);

// Table C: what follows " Format: ".
enum class Details { None, Picture48, Picture72, Wave };
struct FormatName {
    TGuid id;
    const char* label;
    Details details;
};
constexpr FormatName formatTypes[] = {
    {mediatype::VideoInfo, "VideoInfo ", Details::Picture48},
    {mediatype::VideoInfo2, "VideoInfo2 ", Details::Picture72},
    {mediatype::WaveFormatEx, "WaveFormatEx: ", Details::Wave},
    {mediatype::MpegVideo, "MPEGVideo ", Details::Picture48},
    {mediatype::Mpeg2Video, "MPEGStreams ", Details::Picture72},
    {guid("{05589F84-C356-11CE-BF01-00AA0055595A}"), "DvInfo", Details::None},
    {guid("{05589F83-C356-11CE-BF01-00AA0055595A}"), "MPEGStreams", Details::None},
    {guid("{E06D80E4-DB46-11CF-B4D1-00805F6CBBEA}"), "DolbyAC3", Details::None},
    {guid("{E06D80E5-DB46-11CF-B4D1-00805F6CBBEA}"), "MPEG2Audio", Details::None},
    {guid("{E06D80E6-DB46-11CF-B4D1-00805F6CBBEA}"), "DVD_LPCMAudio", Details::None},
};

template <size_t N> const char* lookup(const GuidName (&table)[N], const TGuid& g) {
    for (const auto& e : table)
        if (e.id == g)
            return e.name;
    return nullptr;
}

// The fields read by the wave details (format tag .. bits per sample) fill the first 16 bytes.
constexpr size_t waveFieldsSize = 16;

std::string pictureDetails(const std::vector<uint8_t>& block, size_t offset) {
    if (block.size() < offset + BitmapInfoHeader::size)
        return {};
    BitmapInfoHeader h = BitmapInfoHeader::readFrom(block.data() + offset);
    char buf[96];
    std::snprintf(buf, sizeof buf, " %dX%d, %d bits", h.biWidth, h.biHeight, h.biBitCount);
    return CompressionName(h.biCompression) + buf;
}

std::string waveDetails(const std::vector<uint8_t>& block) {
    if (block.size() < waveFieldsSize)
        return {};
    const uint8_t* p = block.data();
    char buf[96];
    std::snprintf(buf, sizeof buf, ", %u Hertz, %u Bits, %u Channels", rd32(p + 4), rd16(p + 14),
                  rd16(p + 2));
    return WaveFormatName(rd16(p)) + buf;
}

} // namespace

void BitmapInfoHeader::writeTo(uint8_t* p) const {
    wr32(p, biSize);
    wr32(p + 4, static_cast<uint32_t>(biWidth));
    wr32(p + 8, static_cast<uint32_t>(biHeight));
    wr16(p + 12, biPlanes);
    wr16(p + 14, biBitCount);
    wr32(p + 16, biCompression);
    wr32(p + 20, biSizeImage);
    wr32(p + 24, static_cast<uint32_t>(biXPelsPerMeter));
    wr32(p + 28, static_cast<uint32_t>(biYPelsPerMeter));
    wr32(p + 32, biClrUsed);
    wr32(p + 36, biClrImportant);
}

BitmapInfoHeader BitmapInfoHeader::readFrom(const uint8_t* p) {
    BitmapInfoHeader h;
    h.biSize = rd32(p);
    h.biWidth = static_cast<int32_t>(rd32(p + 4));
    h.biHeight = static_cast<int32_t>(rd32(p + 8));
    h.biPlanes = rd16(p + 12);
    h.biBitCount = rd16(p + 14);
    h.biCompression = rd32(p + 16);
    h.biSizeImage = rd32(p + 20);
    h.biXPelsPerMeter = static_cast<int32_t>(rd32(p + 24));
    h.biYPelsPerMeter = static_cast<int32_t>(rd32(p + 28));
    h.biClrUsed = rd32(p + 32);
    h.biClrImportant = rd32(p + 36);
    return h;
}

int64_t BitmapInfoHeader::imageSize() const {
    if (biSizeImage != 0)
        return biSizeImage;
    int64_t bits = biBitCount == 15 ? 16 : biBitCount;
    int64_t width = biWidth < 0 ? -int64_t{biWidth} : biWidth;
    int64_t height = biHeight < 0 ? -int64_t{biHeight} : biHeight;
    return ((width * bits + 31) / 32) * 4 * height * biPlanes;
}

std::string CompressionName(uint32_t compression) {
    switch (compression) {
    case 0:
        return "RGB";
    case 1:
        return "RLE8";
    case 2:
        return "RLE4";
    case 3:
        return "BITFIELDS";
    default:
        break;
    }
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((compression >> (8 * i)) & 0xFF);
        if (c == 0)
            break;
        name += c;
    }
    return name;
}

std::string MajorTypeName(const TGuid& g) {
    const char* n = lookup(majorTypes, g);
    return n ? n : "";
}

std::string SubTypeName(const TGuid& g) {
    const char* n = lookup(subTypes, g);
    return n ? n : "";
}

std::string WaveFormatName(uint16_t tag) {
    for (const auto& w : waveNames)
        if (w.tag == tag)
            return w.name;
    return "Unknown";
}

std::string DescribeMediaType(const AmMediaType& mt) {
    std::string text = "Major Type: ";
    const char* major = lookup(majorTypes, mt.majortype);
    text += major ? major : "UnKnown ";
    text += " - Sub Type: ";
    const char* sub = lookup(subTypes, mt.subtype);
    text += sub ? sub : "UnKnown ";
    text += " Format: ";
    const FormatName* format = nullptr;
    for (const auto& f : formatTypes)
        if (f.id == mt.formattype)
            format = &f;
    if (!format)
        return text + "Unknown";
    text += format->label;
    // A missing or short block adds nothing after the label: never read past the block.
    switch (format->details) {
    case Details::Picture48:
        text += pictureDetails(mt.format, mediatype::VideoInfoHeaderOffset);
        break;
    case Details::Picture72:
        text += pictureDetails(mt.format, mediatype::VideoInfo2HeaderOffset);
        break;
    case Details::Wave:
        text += waveDetails(mt.format);
        break;
    case Details::None:
        break;
    }
    return text;
}

std::vector<uint8_t> MakeVideoInfo(const BitmapInfoHeader& bih, int64_t avgTimePerFrame,
                                   uint32_t bitRate) {
    std::vector<uint8_t> block(mediatype::VideoInfoSize, 0);
    wr32(block.data() + 32, bitRate);
    wr64(block.data() + 40, static_cast<uint64_t>(avgTimePerFrame));
    bih.writeTo(block.data() + mediatype::VideoInfoHeaderOffset);
    return block;
}

std::vector<uint8_t> MakeVideoInfo2(const BitmapInfoHeader& bih, int64_t avgTimePerFrame,
                                    uint32_t aspectX, uint32_t aspectY, uint32_t interlaceFlags) {
    std::vector<uint8_t> block(mediatype::VideoInfo2Size, 0);
    wr64(block.data() + 40, static_cast<uint64_t>(avgTimePerFrame));
    wr32(block.data() + 48, interlaceFlags);
    wr32(block.data() + 56, aspectX);
    wr32(block.data() + 60, aspectY);
    bih.writeTo(block.data() + mediatype::VideoInfo2HeaderOffset);
    return block;
}

std::vector<uint8_t> MakeWaveFormatEx(uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                                      uint16_t bitsPerSample) {
    std::vector<uint8_t> block(18, 0);
    uint16_t blockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
    wr16(block.data(), formatTag);
    wr16(block.data() + 2, channels);
    wr32(block.data() + 4, samplesPerSec);
    wr32(block.data() + 8, samplesPerSec * blockAlign);
    wr16(block.data() + 12, blockAlign);
    wr16(block.data() + 14, bitsPerSample);
    return block;
}

bool VideoHeaderOf(const AmMediaType& mt, BitmapInfoHeader& out) {
    if (mt.majortype != mediatype::Video)
        return false;
    if (mt.formattype == mediatype::VideoInfo && mt.format.size() == mediatype::VideoInfoSize) {
        out = BitmapInfoHeader::readFrom(mt.format.data() + mediatype::VideoInfoHeaderOffset);
        return true;
    }
    if (mt.formattype == mediatype::VideoInfo2 && mt.format.size() == mediatype::VideoInfo2Size) {
        out = BitmapInfoHeader::readFrom(mt.format.data() + mediatype::VideoInfo2HeaderOffset);
        return true;
    }
    return false;
}

} // namespace norvale
