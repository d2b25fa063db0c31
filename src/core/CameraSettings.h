#pragma once
// The persisted settings of one camera channel and the one table of its settings-file keys,
// read by loading and saving alike so the two can never drift apart.
#include <span>
#include <string>
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

// Writes every key of the section in table order; throws IniWriteError on the first failure.
void writeCameraSettings(IniFile& ini, const std::string& sectionName, const CameraSettings& s);

} // namespace norvale
