// Display texts of media types: every name table and the edge cases of the text rule.
#include "core/MediaTypeText.h"

#include <gtest/gtest.h>

using namespace norvale;

namespace {

AmMediaType videoType(const TGuid& subtype, const TGuid& formattype, std::vector<uint8_t> block) {
    AmMediaType mt;
    mt.majortype = mediatype::Video;
    mt.subtype = subtype;
    mt.formattype = formattype;
    mt.format = std::move(block);
    return mt;
}

BitmapInfoHeader header(int w, int h, uint16_t bits, uint32_t compression) {
    BitmapInfoHeader b;
    b.biWidth = w;
    b.biHeight = h;
    b.biBitCount = bits;
    b.biCompression = compression;
    return b;
}

constexpr TGuid fcc(const char (&s)[5]) {
    return fourCcGuid(fourCc(s));
}

} // namespace

TEST(MediaTypeText, FullExampleText) {
    auto mt = videoType(fcc("YUY2"), mediatype::VideoInfo,
                        MakeVideoInfo(header(640, 480, 16, fourCc("YUY2")), 333333));
    EXPECT_EQ(DescribeMediaType(mt),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 640X480, 16 bits");
}

TEST(MediaTypeText, MajorTypeTable) {
    const std::pair<TGuid, const char*> rows[] = {
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
        {guid("{73646976-0000-0010-8000-00AA00389B71}"), "Video"},
    };
    for (const auto& [id, name] : rows) {
        AmMediaType mt;
        mt.majortype = id;
        mt.subtype = fcc("YUY2");
        EXPECT_EQ(DescribeMediaType(mt),
                  std::string("Major Type: ") + name + " - Sub Type: YUY2 Format: Unknown")
            << id.toString();
    }
}

TEST(MediaTypeText, SubTypeTableHasAll97Rows) {
    const char* sameName[] = {"CLPL", "YUYV", "IYUV", "YVU9", "Y411", "Y41P", "YUY2",
                              "YVYU", "UYVY", "Y211", "YV12", "CLJR", "IF09", "CPLA",
                              "MJPG", "TVMJ", "WAKE", "CFCC", "IJPG", "Plum", "DVCS",
                              "DVSD", "MDVF", "dvhd", "dvsl", "DIVX"};
    std::vector<std::pair<TGuid, std::string>> rows;
    for (const char* code : sameName)
        rows.emplace_back(fourCcGuid(static_cast<uint32_t>(code[0]) | code[1] << 8 | code[2] << 16 |
                                     static_cast<uint32_t>(code[3]) << 24),
                          code);
    rows.insert(rows.end(), {{fcc("rpza"), "QTRpza"},
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
                             {fourCcGuid(0x0241), "SPDIF_TAG_241h"}});
    const char* f524F[] = {"RGB1",
                           "RGB4",
                           "RGB8",
                           "RGB565",
                           "RGB555",
                           "RGB24",
                           "RGB32",
                           "Overlay",
                           "MPEG1Packet",
                           "MPEG1Payload",
                           nullptr,
                           nullptr,
                           "MPEG1System",
                           "MPEG1VideoCD",
                           "MPEG1Video",
                           "MPEG1Audio",
                           "Avi",
                           "QTMovie",
                           "PCMAudio_Obsolete",
                           "WAVE",
                           "AU",
                           "AIFF"};
    for (uint32_t i = 0; i < std::size(f524F); ++i)
        if (f524F[i])
            rows.emplace_back(TGuid{0xE436EB78 + i,
                                    0x524F,
                                    0x11CE,
                                    {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
                              f524F[i]);
    const std::pair<uint32_t, const char*> f7817[] = {
        {0x0482DDE2, "AnalogVideo_NTSC_M"},      {0x0482DDE5, "AnalogVideo_PAL_B"},
        {0x0482DDE6, "AnalogVideo_PAL_D"},       {0x0482DDE7, "AnalogVideo_PAL_G"},
        {0x0482DDE8, "AnalogVideo_PAL_H"},       {0x0482DDE9, "AnalogVideo_PAL_I"},
        {0x0482DDEA, "AnalogVideo_PAL_M"},       {0x0482DDEB, "AnalogVideo_PAL_N"},
        {0x0482DDEC, "AnalogVideo_PAL_N_COMBO"}, {0x0482DDF0, "AnalogVideo_SECAM_B"},
        {0x0482DDF1, "AnalogVideo_SECAM_D"},     {0x0482DDF2, "AnalogVideo_SECAM_G"},
        {0x0482DDF3, "AnalogVideo_SECAM_H"},     {0x0482DDF4, "AnalogVideo_SECAM_K"},
        {0x0482DDF5, "AnalogVideo_SECAM_K1"},    {0x0482DDF6, "AnalogVideo_SECAM_L"}};
    for (auto [d1, name] : f7817)
        rows.emplace_back(
            TGuid{d1, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}}, name);
    const std::pair<uint32_t, const char*> fDB46[] = {{0xE06D8026, "MPEG2_VIDEO"},
                                                      {0xE06D8022, "MPEG2_PROGRAM"},
                                                      {0xE06D8023, "MPEG2_TRANSPORT"},
                                                      {0xE06D802B, "MPEG2_AUDIO"},
                                                      {0xE06D802C, "DOLBY_AC3"},
                                                      {0xE06D802D, "DVD_SUBPICTURE"},
                                                      {0xE06D8032, "DVD_LPCM_AUDIO"},
                                                      {0xE06D8033, "DTS"},
                                                      {0xE06D8034, "SDDS"},
                                                      {0xE06D802F, "PCI"},
                                                      {0xE06D8030, "DSI"},
                                                      {0xE06D8031, "PROVIDER"}};
    for (auto [d1, name] : fDB46)
        rows.emplace_back(
            TGuid{d1, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}}, name);
    rows.insert(rows.end(), {{guid("{6E8D4A22-310C-11D0-B79A-00AA003767A7}"), "Line21_BytePair"},
                             {guid("{6E8D4A23-310C-11D0-B79A-00AA003767A7}"), "Line21_GOPPacket"},
                             {guid("{6E8D4A24-310C-11D0-B79A-00AA003767A7}"), "Line21_VBIRawData"},
                             {guid("{A0AF4F81-E163-11D0-BAD9-00609744111A}"), "DssVideo"},
                             {guid("{A0AF4F82-E163-11D0-BAD9-00609744111A}"), "DssAudio"},
                             {guid("{5A9B6A40-1A22-11D1-BAD9-00609744111A}"), "VPVideo"},
                             {guid("{5A9B6A41-1A22-11D1-BAD9-00609744111A}"), "VPVBI"},
                             {guid("{773C9AC0-3274-11D0-B724-00AA006C1A01}"), "ARGB32"},
                             {guid("{3DB80F90-9412-11D1-ADED-0000F8754B99}"), "Asf"}});
    ASSERT_EQ(rows.size(), 97u);
    for (const auto& [id, name] : rows) {
        auto mt = videoType(id, TGuid{}, {});
        EXPECT_EQ(DescribeMediaType(mt),
                  "Major Type: Video - Sub Type: " + name + " Format: Unknown")
            << id.toString();
    }
}

TEST(MediaTypeText, FormatTypeTable) {
    auto bih = header(320, 240, 12, fourCc("IYUV"));
    auto vi = MakeVideoInfo(bih, 0);
    auto vi2 = MakeVideoInfo2(bih, 0, 4, 3, 0);
    auto mpeg1 = vi;
    mpeg1.resize(100, 0);
    auto mpeg2 = vi2;
    mpeg2.resize(136, 0);
    const std::tuple<TGuid, std::vector<uint8_t>, const char*> rows[] = {
        {mediatype::VideoInfo, vi, "VideoInfo IYUV 320X240, 12 bits"},
        {mediatype::VideoInfo2, vi2, "VideoInfo2 IYUV 320X240, 12 bits"},
        {mediatype::MpegVideo, mpeg1, "MPEGVideo IYUV 320X240, 12 bits"},
        {mediatype::Mpeg2Video, mpeg2, "MPEGStreams IYUV 320X240, 12 bits"},
        {guid("{05589F84-C356-11CE-BF01-00AA0055595A}"), vi, "DvInfo"},
        {guid("{05589F83-C356-11CE-BF01-00AA0055595A}"), vi, "MPEGStreams"},
        {guid("{E06D80E4-DB46-11CF-B4D1-00805F6CBBEA}"), vi, "DolbyAC3"},
        {guid("{E06D80E5-DB46-11CF-B4D1-00805F6CBBEA}"), vi, "MPEG2Audio"},
        {guid("{E06D80E6-DB46-11CF-B4D1-00805F6CBBEA}"), vi, "DVD_LPCMAudio"},
        {guid("{12345678-0000-0000-0000-000000000000}"), vi, "Unknown"},
    };
    for (const auto& [formattype, block, tail] : rows) {
        auto mt = videoType(fcc("IYUV"), formattype, block);
        EXPECT_EQ(DescribeMediaType(mt),
                  std::string("Major Type: Video - Sub Type: IYUV Format: ") + tail);
    }
}

TEST(MediaTypeText, WaveFormatTableAndDetails) {
    const std::pair<uint16_t, const char*> rows[] = {{1, "PCM"},
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
                                                     {5120, "NORRIS"}};
    ASSERT_EQ(std::size(rows), 64u);
    for (auto [tag, name] : rows)
        EXPECT_EQ(WaveFormatName(tag), name) << tag;
    for (uint16_t other : {0, 4, 8, 39, 4353, 65535})
        EXPECT_EQ(WaveFormatName(other), "Unknown") << other;

    AmMediaType mt;
    mt.majortype = mediatype::Audio;
    mt.subtype = fourCcGuid(1);
    mt.formattype = mediatype::WaveFormatEx;
    mt.format = MakeWaveFormatEx(1, 2, 44100, 16);
    EXPECT_EQ(DescribeMediaType(mt), "Major Type: Audio - Sub Type: PCM Format: WaveFormatEx: PCM, "
                                     "44100 Hertz, 16 Bits, 2 Channels");
    mt.format = MakeWaveFormatEx(9999, 1, 8000, 8);
    EXPECT_EQ(DescribeMediaType(mt), "Major Type: Audio - Sub Type: PCM Format: WaveFormatEx: "
                                     "Unknown, 8000 Hertz, 8 Bits, 1 Channels");
}

TEST(MediaTypeText, CompressionNames) {
    EXPECT_EQ(CompressionName(0), "RGB");
    EXPECT_EQ(CompressionName(1), "RLE8");
    EXPECT_EQ(CompressionName(2), "RLE4");
    EXPECT_EQ(CompressionName(3), "BITFIELDS");
    EXPECT_EQ(CompressionName(4), std::string(1, '\x04'));
    EXPECT_EQ(CompressionName(fourCc("YUY2")), "YUY2");
    EXPECT_EQ(CompressionName(0x00003259), "Y2"); // ends at the first zero byte
    EXPECT_EQ(CompressionName(0x32000059), "Y");
}

TEST(MediaTypeText, UnknownNamesLeaveTwoSpaces) {
    AmMediaType mt;
    mt.majortype = guid("{11111111-2222-3333-4444-555555555555}");
    mt.subtype = guid("{11111111-2222-3333-4444-555555555555}");
    mt.formattype = mediatype::VideoInfo;
    EXPECT_EQ(DescribeMediaType(mt),
              "Major Type: UnKnown  - Sub Type: UnKnown  Format: VideoInfo ");
}

TEST(MediaTypeText, MissingOrShortBlocksAddNothingAfterTheLabel) {
    auto full = MakeVideoInfo(header(640, 480, 16, fourCc("YUY2")), 0);
    for (size_t size : {size_t{0}, size_t{48}, size_t{87}}) {
        std::vector<uint8_t> block(full.begin(), full.begin() + static_cast<long>(size));
        auto mt = videoType(fcc("YUY2"), mediatype::VideoInfo, block);
        EXPECT_EQ(DescribeMediaType(mt), "Major Type: Video - Sub Type: YUY2 Format: VideoInfo ")
            << size;
    }
    auto vi2 = MakeVideoInfo2(header(640, 480, 16, fourCc("YUY2")), 0, 4, 3, 0);
    vi2.resize(100);
    EXPECT_EQ(DescribeMediaType(videoType(fcc("YUY2"), mediatype::VideoInfo2, vi2)),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo2 ");
    AmMediaType wave;
    wave.majortype = mediatype::Audio;
    wave.formattype = mediatype::WaveFormatEx;
    wave.format = {1, 0, 2};
    EXPECT_EQ(DescribeMediaType(wave),
              "Major Type: Audio - Sub Type: UnKnown  Format: WaveFormatEx: ");
}

TEST(MediaTypeText, NegativeHeightKeepsItsSign) {
    auto mt = videoType(mediatype::RGB24, mediatype::VideoInfo,
                        MakeVideoInfo(header(640, -480, 24, 0), 0));
    EXPECT_EQ(DescribeMediaType(mt),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 640X-480, 24 bits");
}

TEST(MediaTypeText, ImageSizeRule) {
    EXPECT_EQ(header(320, 240, 24, 0).imageSize(), 230400);
    EXPECT_EQ(header(321, 240, 24, 0).imageSize(), 964 * 240);
    EXPECT_EQ(header(320, -240, 24, 0).imageSize(), 230400);
    EXPECT_EQ(header(320, 240, 15, 0).imageSize(), header(320, 240, 16, 0).imageSize());
    auto withSize = header(320, 240, 24, 0);
    withSize.biSizeImage = 1000;
    EXPECT_EQ(withSize.imageSize(), 1000);
}

TEST(MediaTypeText, GuidTextRoundTrip) {
    const TGuid g = guid("{05589F80-C356-11CE-BF01-00AA0055595A}");
    EXPECT_EQ(g.toString(), "{05589F80-C356-11CE-BF01-00AA0055595A}");
    EXPECT_EQ(TGuid::fromString("{05589f80-c356-11ce-bf01-00aa0055595a}"), g);
    EXPECT_EQ(TGuid::fromString("05589F80-C356-11CE-BF01-00AA0055595A"), g);
    EXPECT_EQ(TGuid::fromBytes(g.toBytes().data()), g);
    EXPECT_FALSE(TGuid::fromString("{05589F80-C356-11CE-BF01-00AA0055595}"));
    EXPECT_FALSE(TGuid::fromString("{05589F80-C356-11CE-BF01-00AA0055595G}"));
    EXPECT_EQ(fcc("vids"), guid("{73646976-0000-0010-8000-00AA00389B71}"));
}
