#pragma once
// The nine slots of the wall: which camera each holds (SlotCameras), which frames the layout
// shows, the selected slot (SelectedCamera, CurrentIndex) with its selection frame and number
// buttons, and which slot a point of the wall falls into.
#include <QList>
#include <array>

class QWidget;

namespace norvale {

class TCamera;
class WallControls;
struct WallSettings;

class SlotLayout {
public:
    SlotLayout(WallControls& controls, WallSettings& settings);

    TCamera* SlotCamera(int slot) const; // 1..9, none outside
    const std::array<TCamera*, 9>& slotCameras() const { return slots_; }
    TCamera* SelectedCamera() const { return selected_; }

    // The nine cameras of group g from all 36 (none where the list is short).
    void fillGroup(const QList<TCamera*>& all, int group);
    // Hides every camera and shows the frames of layout n with its button pressed; CurrentCnt
    // becomes n. Any other n shows nothing and keeps CurrentCnt.
    void showFrames(const QList<TCamera*>& all, int frames);
    // SelectedCamera becomes the camera of slot s, CurrentIndex s.
    void select(int slot);
    // After a group switch the selection follows to the same slot of the new group.
    void followGroup();
    // Selection frame and number buttons for the selected camera.
    void markSelection();
    // The slot whose visible frame holds the point (inclusive edges), or -1; a visible panel
    // covers the frames beneath it.
    int SlotAt(int x, int y, const QWidget* panel) const;
    // Shutdown: the cameras are about to go.
    void clear();

private:
    WallControls& controls_;
    WallSettings& settings_;
    std::array<TCamera*, 9> slots_{};
    TCamera* selected_ = nullptr;
};

} // namespace norvale
