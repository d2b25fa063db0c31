#pragma once
// Internal: cameras that are video files, for tuning and testing motion detection.
//
// NORVALE_TEST_FILES=/path/a.mkv,/path/b.mp4 lists one synthetic camera per file, "Norvale Test
// File 1" …, after the test cameras of NORVALE_TEST_DEVICES (TestCameras.h), through the same
// device provider, identities and binding. Each plays its file in real time, in a loop, as a
// live source: frames come at the camera's pace whether anyone takes them or not, and the time
// runs on across the loop. It has one format: the file's picture size, I420, 15 frames per
// second. A file that is missing or cannot be decoded is listed all the same (with a nominal
// 320 × 240 format); starting its camera fails with an error that names the file and why.
//
// With NORVALE_TEST_FILES_COMPRESSED=1 a file whose video is H.264, H.265 or MJPEG is a camera
// that sends that stream as it is (parsed, never decoded; H.264/H.265 as a byte stream at the
// file's own frame rate), as an IP camera or an H.264 webcam would: for recording a camera's
// own stream without the cost of a source that encodes.
#include "GstHandles.h"

#include <string>
#include <vector>

namespace norvale::filecameras {

// The files of NORVALE_TEST_FILES, in their order (empty names skipped).
std::vector<std::string> files();
// The name camera `number` (1-based) is listed under.
std::string cameraName(int number);

// The camera's one format (what the file decodes to, at 15 frames per second); `error` says why
// the file cannot be played, empty when it can. Looked up once per file and kept.
gst::Caps formatOf(const std::string& path, std::string& error);

// A new source element for the file (floating reference).
GstElement* makeElement(const std::string& path, const char* name);

} // namespace norvale::filecameras
