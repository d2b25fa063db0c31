#include "app/shell/Action.h"

namespace norvale {

TAction::TAction(const QString& caption, QObject* parent) : QAction(caption, parent) {
    // Checked is owned by the update rule: QAction's own toggle on trigger is undone by the
    // update that follows every execution.
    connect(this, &QAction::triggered, this, [this] { execute(); });
}

void TAction::update() {
    if (update_)
        update_(*this);
}

bool TAction::execute() {
    update();
    if (!isEnabled() || !execute_) {
        update();
        return false;
    }
    execute_();
    update();
    return true;
}

} // namespace norvale
