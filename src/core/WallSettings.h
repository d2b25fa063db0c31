#pragma once
// The main window's own values in the settings file: sections [System] and [ChangeGroup].
// [System] also holds the storage and start-up keys of the program's unattended running:
// KeepFreeMB (MiB kept free on every recording disk, 0 = off), KeepDays (age limit of recordings
// and snapshots, 0 = keep for ever) and ResumeCameras (cameras resume at start what they did).
#include <array>
#include <string>

namespace norvale {

class IniFile;

struct WallSettings {
    int currentCnt = 1;
    int currentIndex = 1;
    bool panelVisible = true;
    bool autoRun = false;
    bool checkForUpdates = true;
    bool startMinimized = false;
    bool changeGroup = false;
    int changeGroupSeconds = 30;
    std::array<bool, 4> groupEnabled{true, true, true, true};
    int keepFreeMB = 2048;
    int keepDays = 0;
    // Cameras that previewed or recorded when the program last ran do so again at start.
    bool resumeCameras = true;
    // Run at the start and end of every motion event (see expandMotionCommand); empty: nothing.
    std::string motionCommand;

    friend bool operator==(const WallSettings&, const WallSettings&) = default;
};

// Reads both sections; a CurrentIndex outside 1..9 becomes 1, everything else is taken as read
// (a KeepFreeMB or KeepDays below 0 acts as 0). ResumeCameras defaults to on.
WallSettings readWallSettings(const IniFile& ini);

// Writes [System] (AutoRun, CheckForUpdates, StartMinimized, CurrentCnt, CurrentIndex,
// PanelVisible, then KeepFreeMB, KeepDays, ResumeCameras, MotionCommand) then [ChangeGroup]
// (ChangeGroup, ChangeGroupSeconds, Group1..Group4), in that order. Throws IniWriteError on the
// first failing write.
void writeWallSettings(IniFile& ini, const WallSettings& s);

} // namespace norvale
