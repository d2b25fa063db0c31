#pragma once
// Playback of one camera's recordings as one time line: the files are played one after the
// other, each placed at its wall-clock start, the next one made ready while the current plays
// so the crossing shows no stop. Positions are wall-clock milliseconds, never file positions.
//
// Frames are offered as a frame source (what a video window paints). A thread of the player's
// own runs the pipelines: commands return at once, and the callbacks for the end, a damaged
// file and the position run on that thread.
#include "Exporter.h" // ExportSource: a file and its wall-clock start
#include "VideoFrame.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace norvale {

class TSegmentPlayer : public IFrameSource {
public:
    struct Callbacks {
        std::function<void()> ended; // past the last file's end
        std::function<void(const std::string& file)>
            damaged; // a file that could not be played to its end
    };

    explicit TSegmentPlayer(Callbacks callbacks = {});
    ~TSegmentPlayer() override;
    TSegmentPlayer(const TSegmentPlayer&) = delete;
    TSegmentPlayer& operator=(const TSegmentPlayer&) = delete;

    // The files in time order. Stops what plays.
    void setSources(std::vector<ExportSource> sources);
    // Plays from `wallMs` (from the key frame before it, shown from that moment on); a time in a
    // gap plays from the next file.
    void playFrom(std::int64_t wallMs);
    void pause();
    void resume();
    // 0.5 to 16; the next frames follow it.
    void setRate(double rate);
    // While paused: the next frame.
    void stepFrame();
    void stop();

    // Wall-clock time of the frame shown last (0 before any).
    std::int64_t position() const { return position_.load(); }
    bool paused() const { return paused_.load(); }
    double rate() const { return rate_.load(); }

    // IFrameSource
    std::shared_ptr<const TVideoFrame> LatestFrame() const override;
    void SetFrameListener(std::function<void()> listener) override;
    void SetFramesWanted(bool) override {}
    // Playing, or asked to play: a pause that follows playFrom() at once must pause that play,
    // not start another.
    bool Connected() const override { return running_.load() || playsAsked_.load() > 0; }

    struct Impl; // internal

private:
    friend struct PlayerHooks;
    friend struct PlayerControl;
    void post(std::function<void()> command);
    void loop();

    Callbacks callbacks_;
    std::unique_ptr<Impl> d_;
    std::atomic<std::int64_t> position_{0};
    std::atomic<bool> paused_{false};
    std::atomic<double> rate_{1.0};
    std::atomic<bool> running_{false};
    std::atomic<int> playsAsked_{0}; // playFrom() calls not yet carried out

    mutable std::mutex frameLock_;
    std::shared_ptr<const TVideoFrame> latest_;
    std::function<void()> listener_;
    bool listenerArmed_ = true;

    std::mutex commandLock_;
    std::condition_variable commandWake_;
    std::deque<std::function<void()>> commands_;
    bool quit_ = false;
    std::thread worker_;
};

} // namespace norvale
