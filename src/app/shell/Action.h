#pragma once
// A command with caption, shortcut, Enabled and Checked, an execute rule and an update rule.
// Menus and buttons show its state; the update rule recomputes that state from the owner's
// properties, and execute() runs it first, so a command never runs while it is disabled.
#include <QAction>
#include <functional>

namespace norvale {

class TAction : public QAction {
    Q_OBJECT
public:
    TAction(const QString& caption, QObject* parent);

    void setExecuteRule(std::function<void()> rule) { execute_ = std::move(rule); }
    void setUpdateRule(std::function<void(TAction&)> rule) { update_ = std::move(rule); }

    // Applies the update rule (if any).
    void update();
    // Update, then run the execute rule when enabled; true when it ran.
    bool execute();

private:
    std::function<void()> execute_;
    std::function<void(TAction&)> update_;
};

} // namespace norvale
