#include "core/CameraSettings.h"

#include "core/IniFile.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace norvale {

namespace {

const std::array<CameraSettingsKey, 18> kKeys{{
    {"Name", &CameraSettings::name},
    {"SaveFilePath", &CameraSettings::saveFilePath},
    {"VideoDeviceIndex", &CameraSettings::videoDeviceIndex},
    {"VideoFormatIndex", &CameraSettings::videoFormatIndex},
    {"BitRate", &CameraSettings::bitRate},
    {"AutoSnapshot", &CameraSettings::autoSnapshot},
    {"SnapshotSeconds", &CameraSettings::snapshotSeconds},
    {"SnapshotPath", &CameraSettings::snapshotPath},
    {"SegmentSeconds", &CameraSettings::segmentSeconds},
    {"MotionDetect", &CameraSettings::motionDetect},
    {"MotionSensitivity", &CameraSettings::motionSensitivity},
    {"MotionMinArea", &CameraSettings::motionMinArea},
    {"MotionMask", &CameraSettings::motionMask},
    {"RecordMode", &CameraSettings::recordMode},
    {"PreSeconds", &CameraSettings::preSeconds},
    {"PostSeconds", &CameraSettings::postSeconds},
    {"MotionSnapshot", &CameraSettings::motionSnapshot},
    {"RecordFormat", &CameraSettings::recordFormat},
}};

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

} // namespace

std::span<const CameraSettingsKey> cameraSettingsKeys() {
    return kKeys;
}

std::string defaultFolder() {
    std::string home;
    if (const char* env = std::getenv("HOME"); env && *env) {
        home = env;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    if (home.empty() || home.back() != '/')
        home += '/';
    return home;
}

CameraSettings defaultCameraSettings(const std::string& sectionName) {
    CameraSettings s;
    s.name = sectionName;
    s.saveFilePath = defaultFolder();
    s.snapshotPath = s.saveFilePath;
    return s;
}

MotionRules motionRules(const CameraSettings& s) {
    MotionRules r;
    r.detect = s.motionDetect;
    r.detector.sensitivity = std::clamp(s.motionSensitivity, 1, 100);
    r.detector.minAreaTenths = std::clamp(s.motionMinArea, 1, 1000);
    if (auto mask = MotionMask::parse(s.motionMask))
        r.detector.mask = *mask;
    r.recordMode = s.recordMode == 1 ? RecordMode::OnMotion : RecordMode::Continuous;
    r.preSeconds = std::clamp(s.preSeconds, 0, 60);
    r.postSeconds = std::clamp(s.postSeconds, 1, 3600);
    r.snapshot = s.motionSnapshot;
    return r;
}

bool carriesOwnStream(std::string_view mediaType) {
    return mediaType == "video/x-h264" || mediaType == "video/x-h265" || mediaType == "image/jpeg";
}

RecordFormat recordFormatFor(const CameraSettings& s, std::string_view mediaType) {
    return s.recordFormat == 1 && carriesOwnStream(mediaType) ? RecordFormat::OwnStream
                                                              : RecordFormat::Wmv;
}

const char* recordingExtension(RecordFormat format) {
    return format == RecordFormat::OwnStream ? ".mkv" : ".wmv";
}

CameraSettings readCameraSettings(const IniFile& ini, const std::string& sectionName) {
    const CameraSettings defaults = defaultCameraSettings(sectionName);
    CameraSettings s = defaults;
    for (const auto& k : kKeys) {
        std::visit(Overloaded{
                       [&](std::string CameraSettings::*f) {
                           s.*f = ini.readString(sectionName, k.key, defaults.*f);
                       },
                       [&](int CameraSettings::*f) {
                           s.*f = ini.readInteger(sectionName, k.key, defaults.*f);
                       },
                       [&](bool CameraSettings::*f) {
                           s.*f = ini.readBool(sectionName, k.key, defaults.*f);
                       },
                   },
                   k.field);
    }
    return s;
}

void writeCameraSettings(IniFile& ini, const std::string& sectionName, const CameraSettings& s) {
    for (const auto& k : kKeys) {
        std::visit(
            Overloaded{
                [&](std::string CameraSettings::*f) { ini.writeString(sectionName, k.key, s.*f); },
                [&](int CameraSettings::*f) { ini.writeInteger(sectionName, k.key, s.*f); },
                [&](bool CameraSettings::*f) { ini.writeBool(sectionName, k.key, s.*f); },
            },
            k.field);
    }
}

} // namespace norvale
