#pragma once
// Automatic group cycling: the tmrChangeGroup timer and its cursor, the last group a tick
// visited. The cursor is the timer's own; manual group switches never move it.
#include <QObject>
#include <functional>

class QTimer;

namespace norvale {

struct WallSettings;

class GroupCycler : public QObject {
    Q_OBJECT
public:
    GroupCycler(QObject* owner, WallSettings& settings, std::function<int()> currentGroup,
                std::function<void(int)> switchGroup);

    QTimer* tmrChangeGroup() const { return timer_; }
    int cursor() const { return cursor_; }

    // Applies the cycling options to the timer; with no group taking part cycling is switched
    // off (and stored off).
    void UpdateGroupTimer();
    // One cycling step.
    void tmrChangeGroupTimer();

private:
    WallSettings& settings_;
    std::function<int()> currentGroup_;
    std::function<void(int)> switchGroup_;
    QTimer* timer_ = nullptr;
    int cursor_ = 0;
};

} // namespace norvale
