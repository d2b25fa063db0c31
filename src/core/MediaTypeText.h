#pragma once
// Media-type records and their display text.
//
// A media type is described the way capture drivers have always published it: major type,
// subtype and format type as GUIDs plus a little-endian format block (VIDEOINFOHEADER and
// friends). The texts made from it appear in the camera settings dialog and are what users keep
// in Enc.ini, so they must stay exactly as they always were; that is why the GUID tables below
// are kept in full even where GStreamer never produces the type.
#include "Guid.h"

#include <cstdint>
#include <string>
#include <vector>

namespace norvale {

// One media type: the fields of the classic AM_MEDIA_TYPE record. The format block is owned by
// value, so copies are deep.
struct AmMediaType {
    TGuid majortype;
    TGuid subtype;
    bool bFixedSizeSamples = true;
    bool bTemporalCompression = false;
    uint32_t lSampleSize = 1;
    TGuid formattype;
    std::vector<uint8_t> format; // cbFormat == format.size()

    friend bool operator==(const AmMediaType&, const AmMediaType&) = default;
};

// The picture header found in format blocks (BITMAPINFOHEADER, 40 bytes).
struct BitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;

    static constexpr size_t size = 40;
    void writeTo(uint8_t* out) const;
    static BitmapInfoHeader readFrom(const uint8_t* in);

    // The header's image size, or, when that is 0, the size of its rows rounded to 32 bits times
    // the height and planes (a bit count of 15 counts as 16). Heights count by magnitude, so a
    // top-down (negative height) picture has a positive size.
    int64_t imageSize() const;
};

namespace mediatype {
// Major types.
inline constexpr TGuid Video = fourCcGuid(fourCc("vids"));
inline constexpr TGuid Audio = fourCcGuid(fourCc("auds"));
inline constexpr TGuid Stream = guid("{E436EB83-524F-11CE-9F53-0020AF0BA770}");
// Subtypes not of the four-character-code family.
inline constexpr TGuid RGB24 = guid("{E436EB7D-524F-11CE-9F53-0020AF0BA770}");
inline constexpr TGuid RGB32 = guid("{E436EB7E-524F-11CE-9F53-0020AF0BA770}");
inline constexpr TGuid RGB565 = guid("{E436EB7B-524F-11CE-9F53-0020AF0BA770}");
inline constexpr TGuid RGB555 = guid("{E436EB7C-524F-11CE-9F53-0020AF0BA770}");
inline constexpr TGuid RGB8 = guid("{E436EB7A-524F-11CE-9F53-0020AF0BA770}");
inline constexpr TGuid ARGB32 = guid("{773C9AC0-3274-11D0-B724-00AA006C1A01}");
inline constexpr TGuid MPEG1Payload = guid("{E436EB81-524F-11CE-9F53-0020AF0BA770}");
inline constexpr TGuid MPEG2Video = guid("{E06D8026-DB46-11CF-B4D1-00805F6CBBEA}");
// Format types.
inline constexpr TGuid VideoInfo = guid("{05589F80-C356-11CE-BF01-00AA0055595A}");
inline constexpr TGuid VideoInfo2 = guid("{F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA}");
inline constexpr TGuid WaveFormatEx = guid("{05589F81-C356-11CE-BF01-00AA0055595A}");
inline constexpr TGuid MpegVideo = guid("{05589F82-C356-11CE-BF01-00AA0055595A}");
inline constexpr TGuid Mpeg2Video = guid("{E06D80E3-DB46-11CF-B4D1-00805F6CBBEA}");
inline constexpr TGuid DvInfo = guid("{05589F84-C356-11CE-BF01-00AA0055595A}");

// Where the picture header sits in the two video format blocks, and their sizes.
inline constexpr size_t VideoInfoHeaderOffset = 48;
inline constexpr size_t VideoInfoSize = 88;
inline constexpr size_t VideoInfo2HeaderOffset = 72;
inline constexpr size_t VideoInfo2Size = 112;
} // namespace mediatype

// The display text: "Major Type: <A> - Sub Type: <B> Format: <C>" with the tables of names.
std::string DescribeMediaType(const AmMediaType& mt);
// 0 RGB, 1 RLE8, 2 RLE4, 3 BITFIELDS, else the code's bytes as characters up to the first zero.
std::string CompressionName(uint32_t compression);

// Table lookups, exposed for the tests and for anyone listing names: empty text when unknown.
std::string MajorTypeName(const TGuid& g);
std::string SubTypeName(const TGuid& g);
std::string WaveFormatName(uint16_t formatTag); // "Unknown" for tags outside the table

// Video format blocks: VIDEOINFOHEADER (88 bytes, header at 48) or VIDEOINFOHEADER2 (112 bytes,
// header at 72), with the average frame time in 100 ns units and everything else zero.
std::vector<uint8_t> MakeVideoInfo(const BitmapInfoHeader& bih, int64_t avgTimePerFrame,
                                   uint32_t bitRate = 0);
std::vector<uint8_t> MakeVideoInfo2(const BitmapInfoHeader& bih, int64_t avgTimePerFrame,
                                    uint32_t aspectX, uint32_t aspectY, uint32_t interlaceFlags);
// WAVEFORMATEX (18 bytes).
std::vector<uint8_t> MakeWaveFormatEx(uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                                      uint16_t bitsPerSample);

// The picture header of a video media type: VideoInfo with exactly 88 bytes (header at 48) or
// VideoInfo2 with exactly 112 bytes (header at 72); false for anything else.
bool VideoHeaderOf(const AmMediaType& mt, BitmapInfoHeader& out);

} // namespace norvale
