#include "app/wall/SlotLayout.h"

#include "app/camera/Camera.h"
#include "app/wall/WallControls.h"
#include "controls/RgnButton.h"
#include "core/WallLayout.h"
#include "core/WallSettings.h"

namespace norvale {

SlotLayout::SlotLayout(WallControls& controls, WallSettings& settings)
    : controls_(controls), settings_(settings) {}

TCamera* SlotLayout::SlotCamera(int slot) const {
    if (slot < 1 || slot > 9)
        return nullptr;
    return slots_[static_cast<std::size_t>(slot - 1)];
}

void SlotLayout::fillGroup(const QList<TCamera*>& all, int group) {
    for (int s = 1; s <= 9; ++s) {
        const int index = cameraNumber(group, s) - 1;
        slots_[static_cast<std::size_t>(s - 1)] =
            index >= 0 && index < all.size() ? all[index] : nullptr;
    }
}

void SlotLayout::showFrames(const QList<TCamera*>& all, int frames) {
    for (TCamera* cam : all)
        cam->hide();
    TRgnButton* buttons[] = {controls_.btn1, controls_.btn4, controls_.btn6, controls_.btn9};
    for (TRgnButton* b : buttons)
        b->setDowned(false);

    auto place = [](TCamera* cam, const Rect& r) {
        if (!cam)
            return;
        cam->setGeometry(r.left, r.top, r.width, r.height);
        cam->show();
        cam->raise();
        cam->RefitVideo();
    };
    const auto rects = layoutRects(frames);
    if (rects.empty())
        return;
    if (frames == 1) {
        place(selected_ ? selected_ : slots_[0], rects[0]);
    } else {
        for (std::size_t i = 0; i < rects.size(); ++i)
            place(slots_[i], rects[i]);
    }
    settings_.currentCnt = frames;
    buttons[frames == 1 ? 0 : frames == 4 ? 1 : frames == 6 ? 2 : 3]->setDowned(true);
}

void SlotLayout::select(int slot) {
    selected_ = SlotCamera(slot);
    settings_.currentIndex = slot;
}

void SlotLayout::followGroup() {
    if (selected_)
        selected_ = SlotCamera(settings_.currentIndex);
}

void SlotLayout::markSelection() {
    TCamera* cam = selected_;
    if (!cam)
        return;
    const QRect g = cam->geometry();
    controls_.shape1->setGeometry(g.left() - 2, g.top() - 2, g.width() + 4, g.height() + 4);
    for (int i = 0; i < 9; ++i)
        controls_.numButtons[static_cast<std::size_t>(i)]->setDowned(i + 1 ==
                                                                     settings_.currentIndex);
    controls_.shape1->setVisible(!cam->isHidden());
}

int SlotLayout::SlotAt(int x, int y, const QWidget* panel) const {
    std::array<SlotFrame, 9> frames;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (const TCamera* cam = slots_[i]) {
            const QRect g = cam->geometry();
            frames[i] = {!cam->isHidden(), {g.left(), g.top(), g.width(), g.height()}};
        }
    }
    std::optional<Rect> covered;
    if (panel && !panel->isHidden()) {
        const QRect g = panel->geometry();
        covered = Rect{g.left(), g.top(), g.width(), g.height()};
    }
    return slotAt(x, y, frames, covered);
}

void SlotLayout::clear() {
    selected_ = nullptr;
    slots_.fill(nullptr);
}

} // namespace norvale
