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
// settings dialog leaves these out.
//
// Fields given as lists or ranges are fixed first (nearest to 640x480 and 30 frames per second,
// else the first listed value), as negotiation would.
#include "GstHandles.h"
#include "MediaTypeText.h"

namespace norvale::gst {

// `topDownRgb`: RGB pictures whose rows run top to bottom get a negative height, as device-
// independent bitmaps require (used for the grabber's connected type).
AmMediaType mediaTypeFromStructure(const GstStructure* s, bool topDownRgb = false);

// Fixes every field of `s` the way negotiation would pick it.
Structure fixatedCopy(const GstStructure* s);

} // namespace norvale::gst
