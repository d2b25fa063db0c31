#pragma once
// The main window's own values in the settings file: sections [System] and [ChangeGroup].
#include <array>

namespace norvale {

class IniFile;

struct WallSettings {
    int currentCnt = 1;
    int currentIndex = 1;
    bool panelVisible = true;
    bool autoRun = false;
    bool checkForUpdates = true;
    bool startMinimized = false;
    // Cameras that previewed or recorded when the program last ran do so again at start.
    bool resumeCameras = true;
    bool changeGroup = false;
    int changeGroupSeconds = 30;
    std::array<bool, 4> groupEnabled{true, true, true, true};

    friend bool operator==(const WallSettings&, const WallSettings&) = default;
};

// Reads both sections; a CurrentIndex outside 1..9 becomes 1, everything else is taken as read.
// ResumeCameras is read from [System] (default on); the Options dialog writes it.
WallSettings readWallSettings(const IniFile& ini);

// Writes [System] (AutoRun, CheckForUpdates, StartMinimized, CurrentCnt, CurrentIndex,
// PanelVisible) then [ChangeGroup] (ChangeGroup, ChangeGroupSeconds, Group1..Group4), in that
// order. Throws IniWriteError on the first failing write.
void writeWallSettings(IniFile& ini, const WallSettings& s);

} // namespace norvale
