#include "app/shell/MotionCommands.h"

#include "app/shell/Translator.h"
#include "channel/CameraChannel.h"
#include "core/CommandLine.h"
#include "platform/CommandRunner.h"

#include <QMetaObject>
#include <cstdio>

namespace norvale {

MotionCommands::MotionCommands(CommandSource command, QObject* parent,
                               std::chrono::milliseconds limit)
    : QObject(parent), command_(std::move(command)), limit_(limit),
      runner_(std::make_unique<CommandRunner>(limit)) {}

MotionCommands::~MotionCommands() {
    // Outcomes still arriving from the runner's thread find this object gone and are dropped.
    runner_.reset();
}

int MotionCommands::running() const {
    return runner_->running();
}

void MotionCommands::watch(int camera, CameraChannel& channel) {
    connect(&channel, &CameraChannel::motionStarted, this, [this, camera, &channel](qint64 ms) {
        // At the start the file that holds the event is the one being written, if any.
        const std::string file = channel.recording() ? channel.lastRecordingFile() : std::string();
        eventEdge(camera, channel.name(), "start", ms, file);
    });
    connect(&channel, &CameraChannel::motionEnded, this,
            [this, camera, &channel](const MotionEventRecord& event) {
                eventEdge(camera, channel.name(), "end", event.endMs, event.file);
            });
}

void MotionCommands::eventEdge(int camera, const std::string& name, const char* edge,
                               std::int64_t ms, const std::string& file) {
    const std::string line = command_ ? command_() : std::string();
    const QString cameraName = QString::fromStdString(name);
    const auto args = splitCommandLine(line);
    if (!args) {
        ended(camera, cameraName, line, false,
              Translator::tr(QStringLiteral("a quote is not closed or a backslash ends it")));
        return;
    }
    if (args->empty())
        return; // no command set
    const auto argv = expandMotionCommand(*args, {camera, name, edge, isoLocalTime(ms), file});
    runner_->run(argv, [this, camera, cameraName, line](const CommandRunner::Outcome& outcome) {
        // Runs on the runner's thread (or at once when the command could not start).
        QMetaObject::invokeMethod(
            this,
            [this, camera, cameraName, line, outcome] {
                QString why;
                if (!outcome.started)
                    why = Translator::tr(QStringLiteral("it cannot be started: %1"))
                              .arg(QString::fromStdString(outcome.error));
                else if (outcome.killed)
                    why = Translator::tr(QStringLiteral("it was stopped after %1 seconds"))
                              .arg(static_cast<int>(limit_.count() + 999) / 1000);
                else if (outcome.signal != 0)
                    why =
                        Translator::tr(QStringLiteral("it ended by signal %1")).arg(outcome.signal);
                else if (outcome.exitCode != 0)
                    why = Translator::tr(QStringLiteral("it ended with exit code %1"))
                              .arg(outcome.exitCode);
                ended(camera, cameraName, line, outcome.succeeded(), why);
            },
            Qt::QueuedConnection);
    });
}

void MotionCommands::ended(int camera, const QString& name, const std::string& line, bool ok,
                           const QString& why) {
    if (ok) {
        reported_.erase(camera);
    } else {
        const auto it = reported_.find(camera);
        if (it == reported_.end() || it->second != line) {
            reported_[camera] = line;
            const QString text =
                Translator::tr(QStringLiteral("The motion command failed: %1")).arg(why);
            std::fprintf(stderr, "%s: %s\n", qUtf8Printable(name), qUtf8Printable(text));
            emit failed(name, text);
        }
    }
    emit finished(camera);
}

} // namespace norvale
