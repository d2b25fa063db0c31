#include "app/wall/GroupCycler.h"

#include "core/GroupCycling.h"
#include "core/WallSettings.h"

#include <QTimer>
#include <algorithm>

namespace norvale {

GroupCycler::GroupCycler(QObject* owner, WallSettings& settings, std::function<int()> currentGroup,
                         std::function<void(int)> switchGroup)
    : QObject(owner), settings_(settings), currentGroup_(std::move(currentGroup)),
      switchGroup_(std::move(switchGroup)) {
    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("tmrChangeGroup"));
    connect(timer_, &QTimer::timeout, this, &GroupCycler::tmrChangeGroupTimer);
}

void GroupCycler::UpdateGroupTimer() {
    timer_->stop();
    // The stored seconds stay as read; only the timer is kept to a sane interval.
    timer_->setInterval(cycleIntervalMs(settings_.changeGroupSeconds));
    if (std::none_of(settings_.groupEnabled.begin(), settings_.groupEnabled.end(),
                     [](bool b) { return b; }))
        settings_.changeGroup = false;
    if (settings_.changeGroup)
        timer_->start();
}

void GroupCycler::tmrChangeGroupTimer() {
    if (!settings_.changeGroup)
        return;
    cursor_ = nextCycleGroup(cursor_, settings_.groupEnabled);
    if (currentGroup_() != cursor_)
        switchGroup_(cursor_);
}

} // namespace norvale
