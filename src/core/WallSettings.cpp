#include "core/WallSettings.h"

#include "core/IniFile.h"

#include <string>

namespace norvale {

namespace {
constexpr const char* kSystem = "System";
constexpr const char* kChangeGroup = "ChangeGroup";

std::string groupKey(std::size_t i) {
    return "Group" + std::to_string(i + 1);
}
} // namespace

WallSettings readWallSettings(const IniFile& ini) {
    WallSettings s;
    s.currentCnt = ini.readInteger(kSystem, "CurrentCnt", s.currentCnt);
    s.currentIndex = ini.readInteger(kSystem, "CurrentIndex", s.currentIndex);
    if (s.currentIndex < 1 || s.currentIndex > 9)
        s.currentIndex = 1;
    s.panelVisible = ini.readBool(kSystem, "PanelVisible", s.panelVisible);
    s.autoRun = ini.readBool(kSystem, "AutoRun", s.autoRun);
    s.checkForUpdates = ini.readBool(kSystem, "CheckForUpdates", s.checkForUpdates);
    s.startMinimized = ini.readBool(kSystem, "StartMinimized", s.startMinimized);
    s.keepFreeMB = ini.readInteger(kSystem, "KeepFreeMB", s.keepFreeMB);
    s.keepDays = ini.readInteger(kSystem, "KeepDays", s.keepDays);
    s.resumeCameras = ini.readBool(kSystem, "ResumeCameras", s.resumeCameras);
    s.motionCommand = ini.readString(kSystem, "MotionCommand", s.motionCommand);
    s.changeGroup = ini.readBool(kChangeGroup, "ChangeGroup", s.changeGroup);
    s.changeGroupSeconds =
        ini.readInteger(kChangeGroup, "ChangeGroupSeconds", s.changeGroupSeconds);
    for (std::size_t i = 0; i < s.groupEnabled.size(); ++i)
        s.groupEnabled[i] = ini.readBool(kChangeGroup, groupKey(i), s.groupEnabled[i]);
    return s;
}

void writeWallSettings(IniFile& ini, const WallSettings& s) {
    ini.writeBool(kSystem, "AutoRun", s.autoRun);
    ini.writeBool(kSystem, "CheckForUpdates", s.checkForUpdates);
    ini.writeBool(kSystem, "StartMinimized", s.startMinimized);
    ini.writeInteger(kSystem, "CurrentCnt", s.currentCnt);
    ini.writeInteger(kSystem, "CurrentIndex", s.currentIndex);
    ini.writeBool(kSystem, "PanelVisible", s.panelVisible);
    ini.writeInteger(kSystem, "KeepFreeMB", s.keepFreeMB);
    ini.writeInteger(kSystem, "KeepDays", s.keepDays);
    ini.writeBool(kSystem, "ResumeCameras", s.resumeCameras);
    ini.writeString(kSystem, "MotionCommand", s.motionCommand);
    ini.writeBool(kChangeGroup, "ChangeGroup", s.changeGroup);
    ini.writeInteger(kChangeGroup, "ChangeGroupSeconds", s.changeGroupSeconds);
    for (std::size_t i = 0; i < s.groupEnabled.size(); ++i)
        ini.writeBool(kChangeGroup, groupKey(i), s.groupEnabled[i]);
}

} // namespace norvale
