#pragma once
// The persisted settings of one camera channel and the one table of its settings-file keys,
// read by loading and saving alike so the two can never drift apart.
#include "core/MotionDetector.h"

#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace norvale {

class IniFile;

struct CameraSettings {
    std::string name;
    std::string saveFilePath;
    int videoDeviceIndex = -1;
    int videoFormatIndex = -1;
    int bitRate = 1024;
    bool autoSnapshot = false;
    int snapshotSeconds = 60;
    std::string snapshotPath;
    // Length of one recording file: a new file starts at the first key frame this many seconds
    // into the current one; 0 records one file per recording.
    int segmentSeconds = 3600;
    // Motion detection: off by default; then a camera behaves as one without it.
    bool motionDetect = false;
    int motionSensitivity = 60; // 1 to 100
    int motionMinArea = 5;      // tenths of a percent of the picture, 1 to 1000
    std::string motionMask;     // 48 hex digits over a 16 x 12 grid; empty: nothing ignored
    // 0: record all the time while Save is on; 1: only motion events, each in its own file.
    int recordMode = 0;
    int preSeconds = 5;          // picture kept before an event begins (record on motion)
    int postSeconds = 10;        // an event ends this long after the last motion
    bool motionSnapshot = false; // a snapshot at the start of every event
    // 0: WMV1 in ASF, re-encoded; 1: the camera's own compressed stream, kept as it comes, in
    // Matroska (where the camera delivers one: see recordFormatFor).
    int recordFormat = 0;

    friend bool operator==(const CameraSettings&, const CameraSettings&) = default;
};

// One key of a camera section, bound to its field.
struct CameraSettingsKey {
    const char* key;
    std::variant<std::string CameraSettings::*, int CameraSettings::*, bool CameraSettings::*>
        field;
};

// The keys in the order they are written.
std::span<const CameraSettingsKey> cameraSettingsKeys();

// The folder that stands for an unset recording or snapshot folder: the user's home directory
// followed by "/".
std::string defaultFolder();

// The values a camera section gives when the file holds nothing for it.
CameraSettings defaultCameraSettings(const std::string& sectionName);

// Reads section `sectionName`; every missing or unreadable value takes its default.
CameraSettings readCameraSettings(const IniFile& ini, const std::string& sectionName);

enum class RecordMode { Continuous = 0, OnMotion = 1 };

// The settings in their ranges, as the channel uses them: sensitivity 1..100, minimum area
// 1..1000, a record mode it knows (else continuous), pre 0..60 and post 1..3600 seconds. A mask
// that is not 48 hex digits ignores nothing; the stored text stays as it is.
struct MotionRules {
    bool detect = false;
    MotionSettings detector;
    RecordMode recordMode = RecordMode::Continuous;
    int preSeconds = 5;
    int postSeconds = 10;
    bool snapshot = false;
};
MotionRules motionRules(const CameraSettings& s);

enum class RecordFormat { Wmv = 0, OwnStream = 1 };

// Whether a camera delivering this media type (a caps name: "image/jpeg", "video/x-h264", ...)
// has a compressed stream of its own that can be recorded as it comes: H.264, H.265 or MJPEG.
bool carriesOwnStream(std::string_view mediaType);
// The format a recording of this camera is made in: its own stream when asked for and it has
// one, else WMV1 (also for any value of the key other than 1).
RecordFormat recordFormatFor(const CameraSettings& s, std::string_view mediaType);
// ".wmv" or ".mkv".
const char* recordingExtension(RecordFormat format);

// Writes every key of the section in table order; throws IniWriteError on the first failure.
void writeCameraSettings(IniFile& ini, const std::string& sectionName, const CameraSettings& s);

} // namespace norvale
