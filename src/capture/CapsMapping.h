#pragma once
// Internal: how GStreamer caps are described as classic media types, and back.
//
// Mapping (one caps structure -> one media type):
//   video/x-raw       major Video, format type VideoInfo (88-byte block, header at byte 48):
//                     YUY2, UYVY, YVYU, YV12, YVU9, Y41P -> the subtype of the same code;
//                     I420 -> IYUV (same layout); NV12 -> code NV12; GRAY8 -> code Y800;
//                     BGR -> RGB24, BGRx -> RGB32, BGRA -> ARGB32, RGB16 -> RGB565 (BITFIELDS),
//                     RGB15 -> RGB555, RGB8P -> RGB8 (these with compression 0 = RGB);
//                     any other format -> its four-character code where it has one.
//                     The bit count is the frame size in bits per pixel.
//   image/jpeg        subtype MJPG, VideoInfo, compression MJPG, 24 bits.
//   video/x-h264/-h265  code H264/HEVC, VideoInfo2 (112-byte block, header at byte 72).
//   video/mpeg v1/v2  MPEG1Payload with MPEGVideo / MPEG2_VIDEO with MPEGStreams blocks.
//   video/x-dv        code dvsd, DvInfo.
//   audio/x-raw       major Audio, PCM (integer samples) or IEEE_FLOAT, WaveFormatEx block.
// The VideoInfo2 kind is what the plain VideoInfo block cannot express: interlaced raw video,
// non-square pixels (a pixel-aspect-ratio other than 1/1), and H.264/H.265 streams. The camera
// settings dialog leaves these out; so that every raw format stays choosable, a device lists each
// such raw format twice, first described with VideoInfo, then with VideoInfo2 (deviceFormatTypes).
//
// Fields given as lists or ranges are fixed first (nearest to 640x480 and 30 frames per second,
// else the first listed value), as negotiation would.
#include "GstHandles.h"
#include "core/MediaTypeText.h"

#include <string>
#include <utility>
#include <vector>

namespace norvale::gst {

// `topDownRgb`: RGB pictures whose rows run top to bottom get a negative height, as device-
// independent bitmaps require (used for the grabber's connected type).
// `plainVideoInfo`: describe raw video with VideoInfo even where VideoInfo2 would be its kind.
AmMediaType mediaTypeFromStructure(const GstStructure* s, bool topDownRgb = false,
                                   bool plainVideoInfo = false);

// Whether a structure is raw video that is described with VideoInfo2 (and so gets a twin).
bool rawVideoInfo2(const GstStructure* s);

// The media types a device lists for its caps, in caps order, each with the caps text it stands
// for; a raw VideoInfo2 format is preceded by its VideoInfo twin.
std::vector<std::pair<AmMediaType, std::string>> deviceFormatTypes(const GstCaps* caps);

// The format a preview takes when none was chosen: the driver's current format where one is
// known (`currentWidth` > 0: that size and kind, `currentFormat` a raw format name or
// "image/jpeg"), else the raw format nearest 640x480 (any format when there is no raw one) at its
// highest rate of at least 15 frames per second. Fixed in every field; empty when no structure
// of `caps` lives in system memory.
Structure choosePreviewStructure(const GstCaps* caps, int currentWidth = 0, int currentHeight = 0,
                                 const std::string& currentFormat = {});

// Fixes every field of `s` the way negotiation would pick it.
Structure fixatedCopy(const GstStructure* s);

} // namespace norvale::gst
