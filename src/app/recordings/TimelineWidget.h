#pragma once
// The day's timeline of one camera: recorded spans as a bar, motion events in another colour
// above it, hour marks with their times below, the playing position as a line and a selection.
// The wheel zooms about the pointer (down to a minute); a click asks to play from that moment,
// a drag selects a span.
#include "core/Timeline.h"

#include <QWidget>
#include <cstdint>
#include <utility>
#include <vector>

namespace norvale {

class TimelineWidget : public QWidget {
    Q_OBJECT
public:
    using Spans = std::vector<std::pair<std::int64_t, std::int64_t>>;

    explicit TimelineWidget(QWidget* parent = nullptr);

    // A new day: the whole of it shown, no selection.
    void setDay(std::int64_t dayStart, std::int64_t dayEnd);
    void setSpans(Spans recorded, Spans events);
    void setPosition(std::int64_t ms); // 0: none
    // [from, to) selected; from == to: none.
    std::pair<std::int64_t, std::int64_t> selection() const { return selection_; }
    void setSelection(std::int64_t from, std::int64_t to);

    const TimelineView& view() const { return view_; }
    const Spans& recorded() const { return recorded_; }
    const Spans& events() const { return events_; }

    QSize sizeHint() const override { return {720, 64}; }
    QSize minimumSizeHint() const override { return {240, 56}; }

signals:
    void timeClicked(qint64 ms);
    void selectionChanged(qint64 from, qint64 to);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TimelineView view_;
    Spans recorded_;
    Spans events_;
    std::int64_t position_ = 0;
    std::pair<std::int64_t, std::int64_t> selection_{0, 0};
    double pressX_ = -1;
    bool dragging_ = false;
};

} // namespace norvale
