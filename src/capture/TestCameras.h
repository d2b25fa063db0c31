#pragma once
// Synthetic cameras for machines without capture hardware.
//
// NORVALE_TEST_DEVICES=N lists N extra video sources, "Norvale Test Camera 1" .. N, after the
// real devices. They come from a GStreamer device provider of our own, so enumeration, stored
// identities, binding and formats take exactly the path of a V4L2 camera. Each shows its own
// moving pattern with its name written on it and offers these formats, in this order:
//   YUY2 320x240, YUY2 352x288, YUY2 640x480, I420 320x240, I420 352x288, RGB24 320x240,
//   YUY2 176x144 (all square pixels, 15 frames per second), and YUY2 720x576 with 16:15 pixels,
//   which is described with the VideoInfo2 kind.
//
// Like a V4L2 driver, each camera reports a current format: its first listed one, which a preview
// without a chosen format runs at (setReportsCurrentFormat(n, false) makes camera n report none,
// so the preview picks the format nearest 640x480 itself).
//
// NORVALE_TEST_FIRST_FORMAT="WxH" (for instance "640x480") lists the formats of that size first,
// keeping their order; as a preview runs the device's current format, previews then run at that
// size. Format indexes (VideoFormatIndex) follow the changed order. Benchmarks use it.
//
// NORVALE_TEST_PATTERN="name" gives every camera that videotestsrc pattern (for instance "smpte",
// still moving, still labelled) instead of its own. Some of the distinct patterns cost a tenth of
// a core each at 640x480, far more than a real camera's driver; benchmarks of the program's own
// frame path choose a cheap one.
//
// A camera can be made an MJPEG camera instead (640x480, 320x240 and 352x288 JPEG only), as many
// USB webcams are: NORVALE_TEST_MJPEG="N" (several numbers separated by commas) or setMjpeg.
//
// NORVALE_TEST_CLOCK=1 writes the camera's clock (its running time in milliseconds) after the
// name, so a picture seen elsewhere (a live-stream viewer) can be timed against the preview.
//
// To exercise failures, a camera can be unplugged: it disappears from every enumeration, can
// no longer be bound, and a running one posts an error ("... has been disconnected") and stops
// delivering frames. NORVALE_TEST_UNPLUG="N" unplugs camera N from the start; "N@S" unplugs it
// S seconds after the process first looked at the test cameras. Several entries are separated by
// commas. NORVALE_TEST_REPLUG="N@S" (same form) plugs camera N back S seconds after that first
// look; with several entries for one camera, the latest time that has passed decides.
//
// NORVALE_TEST_FILES=/path/a.mkv,/path/b.mp4 adds one camera per video file after them, "Norvale
// Test File 1" …, each playing its file in real time in a loop (see FileCamera.h).
//
// A camera can also stall, as a driver that hangs: it stays listed and running, posts nothing
// and delivers no frames. NORVALE_TEST_STALL="N@S+D" stalls camera N from S seconds after the
// first look for D seconds (several entries separated by commas); setStalled overrides it.
#include <string>

namespace norvale::testcameras {

// The name camera `number` (1-based) is listed under.
std::string cameraName(int number);

// Unplugs (true) or plugs back (false) camera `number`, overriding NORVALE_TEST_UNPLUG for it.
void setUnplugged(int number, bool unplugged);
bool isUnplugged(int number);

// Stalls (true) or resumes (false) camera `number`, overriding NORVALE_TEST_STALL for it.
void setStalled(int number, bool stalled);
bool isStalled(int number);

// Makes camera `number` send MJPEG (true) or raw video (false), overriding NORVALE_TEST_MJPEG.
void setMjpeg(int number, bool mjpeg);
bool isMjpeg(int number);

// Whether camera `number` reports a current format (default true).
void setReportsCurrentFormat(int number, bool reports);
bool reportsCurrentFormat(int number);

// Overrides the listed name of camera `number` (empty: back to the default name). Lets tests
// check the handling of long or unusual device names.
void setNameOverride(int number, const std::string& name);

} // namespace norvale::testcameras
