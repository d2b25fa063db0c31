#pragma once
// Runs the user's motion command ([System] MotionCommand) at the start and at the end of every
// motion event of every camera: split into arguments and run without a shell, in the background,
// killed after the time limit. A failing command (it cannot start, exits with a non-zero code, is
// killed or ends by a signal) is reported once per camera, not at every event: the report comes
// again only after the command ran well for that camera, or once the command line was changed.
#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace norvale {

class CameraChannel;
class CommandRunner;
struct MotionEventRecord;

class MotionCommands : public QObject {
    Q_OBJECT
public:
    // The command line as it is set now (empty: none), read at every edge of an event.
    using CommandSource = std::function<std::string()>;

    explicit MotionCommands(CommandSource command, QObject* parent = nullptr,
                            std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Kills what still runs.
    ~MotionCommands() override;

    // Runs the command for the channel's events as camera `camera`.
    void watch(int camera, CameraChannel& channel);

    // One edge of an event ("start" or "end") of camera `camera` called `name`, at `ms` since
    // the epoch, held in `file` (empty: none).
    void eventEdge(int camera, const std::string& name, const char* edge, std::int64_t ms,
                   const std::string& file);

    // Commands started and not yet ended.
    int running() const;

signals:
    // The command failed for a camera (its name) and it was not said yet; on the GUI thread.
    void failed(const QString& cameraName, const QString& text);
    // A command ended, well or not (tests wait for it); on the GUI thread.
    void finished(int camera);

private:
    void ended(int camera, const QString& name, const std::string& line, bool ok,
               const QString& why);

    CommandSource command_;
    std::chrono::milliseconds limit_;
    // Per camera: the command line whose failure was reported.
    std::map<int, std::string> reported_;
    std::unique_ptr<CommandRunner> runner_;
};

} // namespace norvale
