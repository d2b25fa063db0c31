#pragma once
// Message boxes behind a small interface, so tests can record and answer them instead of
// blocking on a modal window.
#include <QString>
#include <memory>
#include <vector>

class QWidget;

namespace norvale {

enum class MessageIcon { None, Information, Warning, Error, Question };

enum class MessageButtons { Ok, OkCancel, YesNo };

enum class MessageResult { Ok, Cancel, Yes, No };

struct MessageRequest {
    QWidget* owner = nullptr; // none: a box without owner window
    QString text;
    QString caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual MessageResult show(const MessageRequest& request) = 0;

    // The forms used throughout the program.
    void error(const QString& text, QWidget* owner = nullptr) {
        show({owner, text, QStringLiteral("Error"), MessageIcon::Error, MessageButtons::Ok});
    }
    void information(const QString& text, const QString& caption, QWidget* owner = nullptr) {
        show({owner, text, caption, MessageIcon::Information, MessageButtons::Ok});
    }
};

// Shows a real, modal QMessageBox.
class QtMessageBox final : public IMessageBox {
public:
    MessageResult show(const MessageRequest& request) override;
};

// Writes each box to standard error as "caption: text" and answers with the first button;
// for headless runs where nobody could click.
class PrintingMessageBox final : public IMessageBox {
public:
    MessageResult show(const MessageRequest& request) override;
};

// Remembers every request and answers with a fixed result; for tests and headless runs.
class RecordingMessageBox final : public IMessageBox {
public:
    explicit RecordingMessageBox(MessageResult answer = MessageResult::Ok) : answer_(answer) {}
    MessageResult show(const MessageRequest& request) override {
        requests.push_back(request);
        return answer_;
    }
    void setAnswer(MessageResult answer) { answer_ = answer; }

    std::vector<MessageRequest> requests;

private:
    MessageResult answer_;
};

} // namespace norvale
