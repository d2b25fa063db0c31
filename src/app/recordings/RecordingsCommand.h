#pragma once
// "Recordings..." on the wall: in each camera's pop-up menu (that camera), in the camera list's
// menu below "&Camera Settings", in the tray menu and as Ctrl+R (the selected camera). It opens
// the one recordings window on that camera and today, or brings the open one to the front.
#include "app/recordings/RecordingsForm.h"

#include <QObject>
#include <QPointer>

namespace norvale {

class TAction;
class TForm1;

class RecordingsCommand : public QObject {
    Q_OBJECT
public:
    // Owned by the wall; its window goes with the wall.
    RecordingsCommand(TForm1& form, RecordingsContext context);

    TAction* actRecordings() const { return actRecordings_; }
    // Opens the window on `camera`, or raises the open one.
    void open(int camera);
    TRecordingsForm* window() const { return window_; }

private:
    TForm1& form_;
    RecordingsContext context_;
    TAction* actRecordings_ = nullptr;
    QPointer<TRecordingsForm> window_;
};

} // namespace norvale
