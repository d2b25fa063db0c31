// Draws every picture of the program: the wall's background, the camera list panel, the button
// pictures in their three states, the full-screen panel and its glyphs, the icons and the snapshot
// placeholder. Run as `norvale_artgen <outdir>`; the output depends on nothing but this code and
// the fonts, so a build always produces the same artwork.
//
// Look: a dark, calm slate console. Plates are slightly lighter than the base, wells darker; one
// cyan accent marks whatever is active (pressed buttons, the held layout, slot and toggles).
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <numbers>
#include <stdexcept>

namespace {

// ---- palette -----------------------------------------------------------------------------------

const QColor kBaseTop(0x16, 0x1c, 0x24);
const QColor kBaseBottom(0x0d, 0x11, 0x16);
const QColor kPlateTop(0x1d, 0x24, 0x2e);
const QColor kPlateBottom(0x16, 0x1c, 0x24);
const QColor kPlateEdge(0x2c, 0x36, 0x43);
const QColor kWell(0x07, 0x09, 0x0c);
const QColor kWellEdge(0x24, 0x2d, 0x38);
const QColor kInset(0x10, 0x14, 0x1a);
const QColor kAccent(0x38, 0xc6, 0xf0);
const QColor kAccentBright(0x8a, 0xe3, 0xff);
const QColor kDanger(0xf0, 0x52, 0x5a);
const QColor kInk(0xa9, 0xb4, 0xc0);
const QColor kInkHover(0xee, 0xf3, 0xf8);
const QColor kInkDim(0x5c, 0x69, 0x78);
const QColor kLightTop(0xe4, 0xe9, 0xee);
const QColor kLightBottom(0xcf, 0xd6, 0xde);
const QColor kLightInk(0x2b, 0x34, 0x40);
const QColor kMagenta(0xff, 0x00, 0xff);

enum class State { Normal = 0, Hover = 1, Pressed = 2 };
constexpr State kStates[] = {State::Normal, State::Hover, State::Pressed};

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

// ---- output ------------------------------------------------------------------------------------

QString gOutDir;

void save(const QImage& image, const QString& name, int quality = -1) {
    const QString path = QDir(gOutDir).filePath(name);
    const char* format = name.endsWith(".jpg") ? "JPG" : "PNG";
    QImage out = image;
    if (qstrcmp(format, "JPG") == 0)
        out = image.convertToFormat(QImage::Format_RGB32);
    if (!out.save(path, format, quality))
        throw std::runtime_error("cannot write " + path.toStdString());
}

QImage canvas(int w, int h, QColor fill = Qt::transparent) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    return image;
}

// ---- fonts -------------------------------------------------------------------------------------

QString gFamily = "DejaVu Sans";

// The program's font is Tahoma; Debian ships a metric-compatible one with Wine's fonts, which
// fontconfig does not always list, so it is loaded from its file when the family is missing.
void chooseFont() {
    if (QFontDatabase::families().contains("Tahoma")) {
        gFamily = "Tahoma";
        return;
    }
    const char* files[] = {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf",
                           "/usr/share/fonts/truetype/wine/tahoma.ttf",
                           "/usr/share/fonts/truetype/wine/tahomabd.ttf"};
    for (const char* file : files) {
        if (!QFile::exists(file))
            continue;
        const int id = QFontDatabase::addApplicationFont(file);
        if (id >= 0 && QFontDatabase::applicationFontFamilies(id).contains("Tahoma"))
            gFamily = "Tahoma";
    }
}

QFont font(double pixelSize, bool bold = false, double spacing = 0) {
    QFont f(gFamily);
    f.setPixelSize(static_cast<int>(std::lround(pixelSize)));
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferNoHinting);
    if (spacing != 0)
        f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return f;
}

// ---- painting helpers --------------------------------------------------------------------------

void setup(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

QLinearGradient vertical(const QRectF& r, QColor top, QColor bottom) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

QPen pen(QColor c, double width) {
    QPen p(c, width);
    p.setCapStyle(Qt::RoundCap);
    p.setJoinStyle(Qt::RoundJoin);
    return p;
}

// A raised plate: gradient body, dark outline, faint highlight along the top edge.
void plate(QPainter& p, const QRectF& r, double radius) {
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Qt::black, 70));
    p.drawRoundedRect(r.translated(0, 2), radius, radius);
    p.setBrush(vertical(r, kPlateTop, kPlateBottom));
    p.setPen(pen(kPlateEdge, 1));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    p.setPen(pen(withAlpha(Qt::white, 14), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), radius - 1, radius - 1);
}

// A recessed area: darker than its surroundings, shadow along the top, light along the bottom.
void inset(QPainter& p, const QRectF& r, double radius, QColor fill = kInset) {
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Qt::white, 10));
    p.drawRoundedRect(r.translated(0, 1), radius, radius);
    p.setBrush(fill);
    p.setPen(pen(withAlpha(Qt::black, 150), 1));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    p.setPen(pen(withAlpha(Qt::black, 60), 1));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(r.left() + radius, r.top() + 1.5),
               QPointF(r.right() - radius, r.top() + 1.5));
}

// Deterministic film grain so the large dark gradients do not band after JPEG compression.
void grain(QImage& image, int amplitude, std::uint32_t seed) {
    std::uint32_t state = seed;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            const int delta = static_cast<int>((state >> 24) % (2 * amplitude + 1)) - amplitude;
            const QRgb c = line[x];
            auto clamp = [](int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); };
            line[x] = qRgba(clamp(qRed(c) + delta), clamp(qGreen(c) + delta),
                            clamp(qBlue(c) + delta), qAlpha(c));
        }
    }
}

// ---- glyphs ------------------------------------------------------------------------------------
// Each glyph draws into a square area centred in its button, in the colour it is given.

using Glyph = std::function<void(QPainter&, const QRectF& area, QColor ink)>;

// A grid of panes: `cells` lists (column, row, column span, row span) on an n x n grid.
Glyph panes(int n, std::initializer_list<std::array<int, 4>> cells) {
    std::vector<std::array<int, 4>> list(cells);
    return [n, list](QPainter& p, const QRectF& square, QColor ink) {
        // Panes are drawn 4:3, like the camera frames they stand for.
        const double height = std::round(square.width() * 0.8);
        const QRectF a(square.left(), square.center().y() - height / 2, square.width(), height);
        const double gap = n == 1 ? 0 : (n == 2 ? 2 : 1.6);
        const double cellW = (a.width() - gap * (n - 1)) / n;
        const double cellH = (a.height() - gap * (n - 1)) / n;
        p.setPen(Qt::NoPen);
        for (const auto& c : list) {
            QRectF r(a.left() + c[0] * (cellW + gap), a.top() + c[1] * (cellH + gap),
                     c[2] * cellW + (c[2] - 1) * gap, c[3] * cellH + (c[3] - 1) * gap);
            p.setBrush(withAlpha(ink, 235));
            p.drawRoundedRect(r, 1.2, 1.2);
        }
    };
}

void playGlyph(QPainter& p, const QRectF& a, QColor ink) {
    p.setPen(pen(ink, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(a.adjusted(0.5, 0.5, -0.5, -0.5));
    const QPointF c = a.center();
    const double s = a.width() * 0.22;
    QPainterPath tri;
    tri.moveTo(c.x() - s * 0.7, c.y() - s);
    tri.lineTo(c.x() + s * 1.05, c.y());
    tri.lineTo(c.x() - s * 0.7, c.y() + s);
    tri.closeSubpath();
    p.setPen(pen(ink, 1.2));
    p.setBrush(ink);
    p.drawPath(tri);
}

void slidersGlyph(QPainter& p, const QRectF& a, QColor ink) {
    const double rows[] = {0.2, 0.5, 0.8};
    const double knobs[] = {0.68, 0.3, 0.56};
    for (int i = 0; i < 3; ++i) {
        const double y = a.top() + a.height() * rows[i];
        p.setPen(pen(withAlpha(ink, 170), 1.6));
        p.drawLine(QPointF(a.left() + 1, y), QPointF(a.right() - 1, y));
        const double x = a.left() + a.width() * knobs[i];
        p.setPen(pen(ink, 1.4));
        p.setBrush(QColor(0x1a, 0x20, 0x28));
        p.drawEllipse(QPointF(x, y), 2.6, 2.6);
    }
}

void cornersGlyph(QPainter& p, const QRectF& a, QColor ink) {
    const double l = a.width() * 0.34;
    p.setPen(pen(ink, 2));
    p.setBrush(Qt::NoBrush);
    const QRectF r = a.adjusted(1, 1, -1, -1);
    auto corner = [&](QPointF c, double dx, double dy) {
        QPainterPath path;
        path.moveTo(c.x() + dx * l, c.y());
        path.lineTo(c);
        path.lineTo(c.x(), c.y() + dy * l);
        p.drawPath(path);
    };
    corner(r.topLeft(), 1, 1);
    corner(r.topRight(), -1, 1);
    corner(r.bottomLeft(), 1, -1);
    corner(r.bottomRight(), -1, -1);
}

void cameraBody(QPainter& p, const QRectF& a, QColor ink, double width) {
    const QRectF body(a.left(), a.top() + a.height() * 0.28, a.width(), a.height() * 0.62);
    QPainterPath path;
    path.addRoundedRect(body, 2.5, 2.5);
    QRectF hump(a.left() + a.width() * 0.3, a.top() + a.height() * 0.12, a.width() * 0.36,
                a.height() * 0.2);
    path.addRoundedRect(hump, 1.5, 1.5);
    p.setPen(pen(ink, width));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path.simplified());
    const QPointF c = body.center();
    p.drawEllipse(c, body.height() * 0.3, body.height() * 0.3);
}

void snapshotGlyph(QPainter& p, const QRectF& a, QColor ink) {
    cameraBody(p, a.adjusted(0, 0, -3, -2), ink, 1.6);
    // A small timer dial at the lower right.
    const QPointF c(a.right() - 3.5, a.bottom() - 3.5);
    p.setPen(pen(ink, 1.4));
    p.setBrush(QColor(0x1a, 0x20, 0x28));
    p.drawEllipse(c, 4.2, 4.2);
    p.drawLine(c, c + QPointF(0, -2.4));
    p.drawLine(c, c + QPointF(1.8, 0));
}

void gearGlyph(QPainter& p, const QRectF& a, QColor ink) {
    const QPointF c = a.center();
    const double outer = a.width() / 2, inner = outer * 0.74;
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 4; ++i) {
        const double angle = (i - 0.5) * std::numbers::pi * 2 / (teeth * 4);
        const double r = (i % 4 == 0 || i % 4 == 1) ? outer : inner;
        const QPointF pt(c.x() + r * std::cos(angle), c.y() + r * std::sin(angle));
        if (i == 0)
            gear.moveTo(pt);
        else
            gear.lineTo(pt);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, outer * 0.34, outer * 0.34);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(gear.subtracted(hole));
}

void questionGlyph(QPainter& p, const QRectF& a, QColor ink) {
    QPainterPath hook;
    const double r = a.width() * 0.26;
    const QPointF c(a.center().x(), a.top() + r + 1);
    hook.arcMoveTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 160);
    hook.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 160, -220);
    hook.quadTo(QPointF(c.x(), c.y() + r * 1.1), QPointF(c.x(), c.y() + r * 1.9));
    p.setPen(pen(ink, 2.3));
    p.setBrush(Qt::NoBrush);
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(c.x(), a.bottom() - 1.3), 1.5, 1.5);
}

void infoGlyph(QPainter& p, const QRectF& a, QColor ink) {
    const double x = a.center().x();
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(x, a.top() + 1.6), 1.6, 1.6);
    p.setPen(pen(ink, 2.4));
    p.drawLine(QPointF(x, a.top() + 6), QPointF(x, a.bottom() - 1));
    p.setPen(pen(ink, 1.4));
    p.drawLine(QPointF(x - 2.4, a.top() + 6), QPointF(x, a.top() + 6));
    p.drawLine(QPointF(x - 2.6, a.bottom() - 0.5), QPointF(x + 2.6, a.bottom() - 0.5));
}

void powerGlyph(QPainter& p, const QRectF& a, QColor ink) {
    p.setPen(pen(ink, 2.2));
    p.setBrush(Qt::NoBrush);
    const QRectF r = a.adjusted(1, 2, -1, 0);
    p.drawArc(r, (90 + 40) * 16, 360 * 16 - 80 * 16);
    p.drawLine(QPointF(a.center().x(), a.top()), QPointF(a.center().x(), a.center().y() + 1));
}

void minusGlyph(QPainter& p, const QRectF& a, QColor ink) {
    p.setPen(pen(ink, 2));
    const double y = a.center().y() + 0.5;
    p.drawLine(QPointF(a.left(), y), QPointF(a.right(), y));
}

void chevron(QPainter& p, QPointF c, double halfWidth, double height, QColor ink, bool up) {
    const double dir = up ? -1 : 1;
    QPainterPath path;
    path.moveTo(c.x() - halfWidth, c.y() - dir * height / 2);
    path.lineTo(c.x(), c.y() + dir * height / 2);
    path.lineTo(c.x() + halfWidth, c.y() - dir * height / 2);
    p.setPen(pen(ink, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

// ---- buttons -----------------------------------------------------------------------------------

QColor inkFor(State s) {
    return s == State::Normal ? kInk : (s == State::Hover ? kInkHover : kAccentBright);
}

// The shared body of every dark button, clipped to `shape`.
void buttonBody(QPainter& p, const QPainterPath& shape, const QRectF& r, State s,
                QColor accent = kAccent) {
    p.setPen(Qt::NoPen);
    switch (s) {
    case State::Normal:
        p.setBrush(vertical(r, QColor(0x2b, 0x33, 0x3e), QColor(0x1d, 0x23, 0x2c)));
        break;
    case State::Hover:
        p.setBrush(vertical(r, QColor(0x37, 0x41, 0x4e), QColor(0x25, 0x2d, 0x38)));
        break;
    case State::Pressed:
        p.setBrush(vertical(r, accent.darker(520), accent.darker(380)));
        break;
    }
    p.drawPath(shape);
    p.save();
    p.setClipPath(shape);
    if (s == State::Pressed) {
        // Lit from inside: a soft glow of the accent and a darker top edge, as if pushed in.
        QRadialGradient glow(r.center(), r.width() * 0.62);
        glow.setColorAt(0, withAlpha(accent, 95));
        glow.setColorAt(1, withAlpha(accent, 0));
        p.setBrush(glow);
        p.drawRect(r);
        p.setPen(pen(withAlpha(Qt::black, 110), 2));
        p.setBrush(Qt::NoBrush);
        p.drawPath(shape.translated(0, 1.2));
    } else {
        p.setPen(pen(withAlpha(Qt::white, s == State::Hover ? 34 : 22), 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(shape.translated(0, 1));
    }
    p.restore();
    const QColor edge = s == State::Normal
                            ? QColor(0x3b, 0x47, 0x55)
                            : (s == State::Hover ? QColor(0x5b, 0x6b, 0x7f) : accent);
    p.setPen(pen(edge, 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shape);
}

QImage squareButton(int size, State s, const Glyph& glyph, double glyphSize) {
    QImage image = canvas(size, size);
    QPainter p(&image);
    setup(p);
    const QRectF r(0.5, 0.5, size - 1, size - 1);
    QPainterPath shape;
    shape.addRoundedRect(r, 7, 7);
    buttonBody(p, shape, r, s);
    const double offset = s == State::Pressed ? 0.5 : 0;
    const QRectF area(size / 2.0 - glyphSize / 2, size / 2.0 - glyphSize / 2 + offset, glyphSize,
                      glyphSize);
    glyph(p, area, inkFor(s));
    return image;
}

QImage roundButton(int size, State s, const Glyph& glyph, double glyphSize, bool danger = false) {
    QImage image = canvas(size, size);
    QPainter p(&image);
    setup(p);
    const QRectF r(0.5, 0.5, size - 1, size - 1);
    QPainterPath shape;
    shape.addEllipse(r);
    buttonBody(p, shape, r, s, danger ? kDanger : kAccent);
    QColor ink = inkFor(s);
    if (danger && s != State::Normal)
        ink = s == State::Hover ? QColor(0xff, 0x8a, 0x90) : QColor(0xff, 0xc0, 0xc4);
    const double offset = s == State::Pressed ? 0.5 : 0;
    const QRectF area(size / 2.0 - glyphSize / 2, size / 2.0 - glyphSize / 2 + offset, glyphSize,
                      glyphSize);
    glyph(p, area, ink);
    return image;
}

// The number buttons sit under printed digits: a small pill with an indicator that lights up
// for the selected slot.
QImage numButton(int w, int h, State s) {
    QImage image = canvas(w, h);
    QPainter p(&image);
    setup(p);
    const QRectF pill(1.5, 2.5, w - 3, h - 5);
    const double radius = pill.height() / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Qt::white, 12));
    p.drawRoundedRect(pill.translated(0, 1), radius, radius);
    p.setBrush(s == State::Pressed ? kAccent.darker(450) : QColor(0x0b, 0x0f, 0x14));
    const QColor edge = s == State::Normal
                            ? QColor(0x36, 0x41, 0x4e)
                            : (s == State::Hover ? QColor(0x62, 0x72, 0x86) : kAccent);
    p.setPen(pen(edge, 1));
    p.drawRoundedRect(pill, radius, radius);
    const QRectF led(pill.left() + 5, pill.center().y() - 1.5, pill.width() - 10, 3);
    if (s == State::Pressed) {
        QRadialGradient glow(led.center(), pill.width() / 2);
        glow.setColorAt(0, withAlpha(kAccent, 120));
        glow.setColorAt(1, withAlpha(kAccent, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawRoundedRect(pill.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
        p.setBrush(kAccentBright);
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(s == State::Hover ? QColor(0x5d, 0x6c, 0x7e) : QColor(0x2a, 0x33, 0x3e));
    }
    p.drawRoundedRect(led, 1.5, 1.5);
    return image;
}

// The strips that show and hide the camera list panel: a tab with a chevron and grip lines.
QImage panelStrip(State s, bool up) {
    const int w = 199, h = 15;
    QImage image = canvas(w, h);
    QPainter p(&image);
    setup(p);
    const QRectF r(0.5, 0.5, w - 1, h - 1 + 6); // rounded at the top only: the bottom runs off
    QPainterPath shape;
    shape.addRoundedRect(r, 6, 6);
    shape = shape.intersected([&] {
        QPainterPath clip;
        clip.addRect(0, 0, w, h);
        return clip;
    }());
    buttonBody(p, shape, QRectF(0, 0, w, h), s);
    const QColor ink = inkFor(s);
    chevron(p, QPointF(w / 2.0, h / 2.0 + 0.5), 5, 4, ink, up);
    p.setPen(pen(withAlpha(ink, s == State::Normal ? 70 : 110), 1));
    for (int side : {-1, 1}) {
        for (int i = 0; i < 3; ++i) {
            const double x0 = w / 2.0 + side * (16 + i * 0.0);
            const double y = 5.5 + i * 2;
            p.drawLine(QPointF(x0, y), QPointF(x0 + side * 42, y));
        }
    }
    return image;
}

void writeButtons() {
    struct Square {
        const char* id;
        Glyph glyph;
        double size;
    };
    const Square squares[] = {
        {"layout1", panes(1, {{0, 0, 1, 1}}), 17},
        {"layout4", panes(2, {{0, 0, 1, 1}, {1, 0, 1, 1}, {0, 1, 1, 1}, {1, 1, 1, 1}}), 18},
        {"layout6",
         panes(
             3,
             {{0, 0, 2, 2}, {2, 0, 1, 1}, {2, 1, 1, 1}, {0, 2, 1, 1}, {1, 2, 1, 1}, {2, 2, 1, 1}}),
         19},
        {"layout9",
         panes(3, {{0, 0, 1, 1},
                   {1, 0, 1, 1},
                   {2, 0, 1, 1},
                   {0, 1, 1, 1},
                   {1, 1, 1, 1},
                   {2, 1, 1, 1},
                   {0, 2, 1, 1},
                   {1, 2, 1, 1},
                   {2, 2, 1, 1}}),
         19},
        {"preview", playGlyph, 19},
        {"settings", slidersGlyph, 17},
        {"fullscreen", cornersGlyph, 17},
        {"snapshot", snapshotGlyph, 19},
    };
    for (const Square& b : squares)
        for (State s : kStates)
            save(squareButton(33, s, b.glyph, b.size),
                 QString("btn_%1_%2.png").arg(b.id).arg(static_cast<int>(s)));

    struct Round {
        const char* id;
        int size;
        Glyph glyph;
        double glyphSize;
        bool danger;
    };
    const Round rounds[] = {
        {"options", 37, gearGlyph, 17, false}, {"help", 37, questionGlyph, 15, false},
        {"about", 37, infoGlyph, 15, false},   {"min", 28, minusGlyph, 10, false},
        {"exit", 45, powerGlyph, 18, true},
    };
    for (const Round& b : rounds)
        for (State s : kStates)
            save(roundButton(b.size, s, b.glyph, b.glyphSize, b.danger),
                 QString("btn_%1_%2.png").arg(b.id).arg(static_cast<int>(s)));

    const int widths[] = {26, 25, 27};
    for (int n = 1; n <= 9; ++n)
        for (State s : kStates)
            save(numButton(widths[(n - 1) % 3], 17, s),
                 QString("btn_num%1_%2.png").arg(n).arg(static_cast<int>(s)));

    for (State s : kStates) {
        save(panelStrip(s, true), QString("btn_showpanel_%1.png").arg(static_cast<int>(s)));
        save(panelStrip(s, false), QString("btn_hidepanel_%1.png").arg(static_cast<int>(s)));
    }
}

// ---- the wall's background ---------------------------------------------------------------------

// Where the program puts its controls; the background gives each a place to sit.
const QRect kWellRect(26, 24, 787, 643);
const QRect kShowStrip(317, 671, 199, 15);

void buttonSeat(QPainter& p, const QRectF& button, bool round) {
    const QRectF r = button.adjusted(-3, -3, 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Qt::white, 10));
    if (round)
        p.drawEllipse(r.translated(0, 1));
    else
        p.drawRoundedRect(r.translated(0, 1), 9, 9);
    p.setBrush(QColor(0x0a, 0x0d, 0x11));
    p.setPen(pen(withAlpha(Qt::black, 140), 1));
    if (round)
        p.drawEllipse(r.adjusted(0.5, 0.5, -0.5, -0.5));
    else
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
}

QImage drawBackground() {
    QImage image = canvas(1024, 768);
    QPainter p(&image);
    setup(p);

    // Base: a calm vertical gradient with a faint light from above the camera area.
    p.fillRect(image.rect(), vertical(image.rect(), kBaseTop, kBaseBottom));
    QRadialGradient light(QPointF(420, 0), 700);
    light.setColorAt(0, withAlpha(QColor(0x4a, 0x6a, 0x8a), 26));
    light.setColorAt(1, withAlpha(QColor(0x4a, 0x6a, 0x8a), 0));
    p.fillRect(image.rect(), light);

    // The camera area: a framed dark well with the strip tab for the list panel below it.
    const QRectF frame(14, 12, 812, 666);
    QPainterPath framePath;
    framePath.addRoundedRect(frame, 10, 10);
    QPainterPath tab;
    const QRectF tabRect(kShowStrip.left() - 6, frame.bottom() - 12, kShowStrip.width() + 12,
                         kShowStrip.bottom() + 5 - (frame.bottom() - 12));
    tab.addRoundedRect(tabRect, 6, 6);
    framePath = framePath.united(tab);
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Qt::black, 80));
    p.drawPath(framePath.translated(0, 3));
    p.setBrush(vertical(frame, kPlateTop, kPlateBottom));
    p.setPen(pen(kPlateEdge, 1));
    p.drawPath(framePath.translated(0.5, 0.5));
    p.setPen(pen(withAlpha(Qt::white, 12), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(frame.adjusted(1.5, 1.5, -1.5, -1.5), 9, 9);

    // The well itself, one pixel larger than the frames so their edges never show a seam.
    const QRectF well = QRectF(kWellRect).adjusted(-2, -2, 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(kWell);
    p.drawRoundedRect(well, 3, 3);
    QRadialGradient vignette(well.center(), well.width() * 0.6);
    vignette.setColorAt(0, withAlpha(QColor(0x1c, 0x26, 0x32), 90));
    vignette.setColorAt(1, withAlpha(QColor(0x1c, 0x26, 0x32), 0));
    p.setBrush(vignette);
    p.drawRoundedRect(well, 3, 3);
    p.setPen(pen(kWellEdge, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(well.adjusted(-0.5, -0.5, 0.5, 0.5), 3.5, 3.5);
    // Faint guides of the nine-pane grid, seen only where no camera covers the well.
    p.setPen(pen(withAlpha(QColor(0x2a, 0x36, 0x44), 90), 1));
    for (int x : {288, 551})
        p.drawLine(QPointF(x + 0.5, kWellRect.top() + 12),
                   QPointF(x + 0.5, kWellRect.bottom() - 12));
    for (int y : {238, 453})
        p.drawLine(QPointF(kWellRect.left() + 12, y + 0.5),
                   QPointF(kWellRect.right() - 12, y + 0.5));
    // Registration marks at the frame's corners, in the accent, very quiet.
    p.setPen(pen(withAlpha(kAccent, 110), 1.5));
    const double m = 6, l = 14;
    const QRectF marks = frame.adjusted(m, m, -m, -m);
    auto mark = [&](QPointF c, double dx, double dy) {
        QPainterPath path;
        path.moveTo(c.x() + dx * l, c.y());
        path.lineTo(c);
        path.lineTo(c.x(), c.y() + dy * l);
        p.drawPath(path);
    };
    mark(marks.topLeft(), 1, 1);
    mark(marks.topRight(), -1, 1);
    mark(QPointF(marks.left(), marks.bottom()), 1, -1);
    mark(QPointF(marks.right(), marks.bottom()), -1, -1);
    // The seat of the strip that opens the camera list.
    inset(p, QRectF(kShowStrip).adjusted(-2, -2, 2, 1), 6, QColor(0x0a, 0x0d, 0x11));

    // The bottom bar with the layout buttons on the left and the commands on the right.
    const QRectF bar(8, 692, 822, 56);
    plate(p, bar, 10);
    inset(p, QRectF(11, 695, 274, 50), 8);
    inset(p, QRectF(550, 695, 274, 50), 8);
    for (int x : {17, 93, 169, 246, 556, 632, 708, 785})
        buttonSeat(p, QRectF(x, 700, 33, 33), false);
    // Dots between the buttons of a group lead the eye along the row.
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(kInkDim, 130));
    for (int x : {71, 147, 224, 610, 686, 763})
        p.drawEllipse(QPointF(x + 0.5, 716.5), 1.3, 1.3);
    // The word mark in the free middle of the bar.
    {
        const QRectF markArea(300, 700, 240, 34);
        p.setFont(font(15, true, 4.5));
        p.setPen(QColor(0x6d, 0x7a, 0x89));
        const QString word = "NORVALE";
        QFontMetricsF fm(p.font());
        const double tw = fm.horizontalAdvance(word) - 4.5;
        const double lens = 12;
        const double total = lens + 8 + tw;
        const double x0 = markArea.center().x() - total / 2;
        const double cy = markArea.center().y();
        p.setBrush(Qt::NoBrush);
        p.setPen(pen(QColor(0x6d, 0x7a, 0x89), 1.6));
        p.drawEllipse(QPointF(x0 + lens / 2, cy), lens / 2, lens / 2);
        p.setPen(Qt::NoPen);
        p.setBrush(kAccent);
        p.drawEllipse(QPointF(x0 + lens / 2, cy), 2.4, 2.4);
        p.setPen(QColor(0x6d, 0x7a, 0x89));
        p.drawText(QPointF(x0 + lens + 8, cy + fm.capHeight() / 2), word);
    }

    // The right-hand column: clock, system buttons, slot numbers, window buttons.
    const QRectF column(838, 12, 174, 736);
    plate(p, column, 12);
    // Clock bezel.
    inset(p, QRectF(853, 19, 125, 94), 10, QColor(0x0b, 0x0e, 0x12));
    p.setPen(pen(withAlpha(Qt::white, 16), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(856.5, 22.5, 118, 87), 8, 8);
    // A hairline divider with a short accent in the middle.
    auto divider = [&](double y) {
        p.setPen(pen(withAlpha(Qt::black, 140), 1));
        p.drawLine(QPointF(856, y + 0.5), QPointF(994, y + 0.5));
        p.setPen(pen(withAlpha(Qt::white, 14), 1));
        p.drawLine(QPointF(856, y + 1.5), QPointF(994, y + 1.5));
        p.setPen(pen(withAlpha(kAccent, 120), 1));
        p.drawLine(QPointF(917, y + 0.5), QPointF(933, y + 0.5));
    };
    divider(132);
    // System buttons: options, help and about with room for their labels.
    inset(p, QRectF(852, 150, 146, 190), 9);
    buttonSeat(p, QRectF(872, 168, 37, 37), true);
    buttonSeat(p, QRectF(872, 251, 37, 37), true);
    buttonSeat(p, QRectF(916, 291, 37, 37), true);
    p.setPen(pen(withAlpha(Qt::white, 10), 1));
    p.drawLine(QPointF(862, 228.5), QPointF(988, 228.5));
    divider(346);
    // Slot numbers: digits are printed above each row by the program.
    inset(p, QRectF(864, 360, 102, 140), 9);
    for (int row : {385, 430, 475}) {
        p.setPen(Qt::NoPen);
        p.setBrush(withAlpha(Qt::black, 90));
        p.drawRoundedRect(QRectF(872, row - 1, 86, 19), 9, 9);
    }
    divider(516);
    // A quiet signal meter fills the empty stretch of the column.
    for (int i = 0; i < 12; ++i) {
        const double h = 6 + 22 * (0.5 + 0.5 * std::sin(i * 0.9 + 0.6)) * (1 - i / 24.0);
        p.setPen(Qt::NoPen);
        p.setBrush(withAlpha(i % 4 == 1 ? kAccent : kInkDim, i % 4 == 1 ? 120 : 70));
        p.drawRoundedRect(QRectF(870 + i * 9, 600 - h, 5, h), 1.5, 1.5);
    }
    p.setPen(pen(withAlpha(kInkDim, 90), 1));
    p.drawLine(QPointF(866, 604.5), QPointF(980, 604.5));
    divider(654);
    // Window buttons.
    inset(p, QRectF(852, 670, 146, 66), 10);
    buttonSeat(p, QRectF(865, 692, 28, 28), true);
    buttonSeat(p, QRectF(921, 680, 45, 45), true);
    p.end();

    grain(image, 2, 0x4e6f72u);
    return image;
}

// ---- the camera list panel ---------------------------------------------------------------------

// A light sheet over the dark wall: the list and the group buttons are drawn by the program on
// white, and the panel's caption in the default dark text.
QImage drawPanel() {
    const int w = 199, h = 239;
    QImage image = canvas(w, h);
    QPainter p(&image);
    setup(p);
    p.fillRect(image.rect(), vertical(image.rect(), kLightTop, kLightBottom));
    // Under the hide strip.
    p.fillRect(QRect(0, 0, w, 15), QColor(0x1d, 0x23, 0x2c));
    p.fillRect(QRect(0, 15, w, 1), kAccent);
    p.fillRect(QRect(0, 16, w, 1), withAlpha(Qt::black, 40));
    // Caption area: a small camera mark left of the caption the program prints at 49, 25.
    p.setPen(pen(QColor(0x4a, 0x57, 0x66), 1.3));
    p.setBrush(Qt::NoBrush);
    cameraBody(p, QRectF(28, 23, 14, 14), QColor(0x4a, 0x57, 0x66), 1.3);
    // The white card holding the list (15, 46 .. 183, 192) and the group buttons below it.
    const QRectF card(12.5, 42.5, 174, 188);
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(Qt::black, 25));
    p.drawRoundedRect(card.translated(0, 1.5), 5, 5);
    p.setBrush(Qt::white);
    p.setPen(pen(QColor(0xa8, 0xb3, 0xbf), 1));
    p.drawRoundedRect(card, 5, 5);
    // Frame of the panel.
    p.setPen(pen(QColor(0x3b, 0x47, 0x55), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, w - 1, h - 1));
    p.setPen(pen(withAlpha(Qt::white, 120), 1));
    p.drawLine(QPointF(1.5, 17.5), QPointF(1.5, h - 2));
    p.end();
    return image;
}

// ---- the full-screen panel and its glyphs ------------------------------------------------------

QImage drawFullScreenPanel() {
    const int w = 538, h = 20;
    // The panel body is drawn full-size; the outline is cut afterwards without antialiasing, so
    // every pixel outside it is exactly the key colour and no blended pink fringe remains.
    QImage body = canvas(w, h);
    QPainter p(&body);
    setup(p);
    p.fillRect(body.rect(), vertical(body.rect(), kLightTop, kLightBottom));
    QPainterPath outline;
    outline.addRoundedRect(QRectF(0, 0, w, h), 9, 9);
    p.setPen(pen(QColor(0x6f, 0x7c, 0x8a), 1.2));
    p.setBrush(Qt::NoBrush);
    QPainterPath edge;
    edge.addRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 8.5, 8.5);
    p.drawPath(edge);
    p.setPen(pen(kAccent, 1));
    p.drawLine(QPointF(12, h - 1.5), QPointF(w - 12, h - 1.5));
    p.end();

    QImage mask(w, h, QImage::Format_ARGB32_Premultiplied);
    mask.fill(Qt::transparent);
    QPainter m(&mask);
    m.setRenderHint(QPainter::Antialiasing, false);
    m.setPen(Qt::NoPen);
    m.setBrush(Qt::white);
    m.drawPath(outline);
    m.end();

    QImage out(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.setPixel(
                x, y, qAlpha(mask.pixel(x, y)) ? (body.pixel(x, y) | 0xff000000u) : kMagenta.rgb());
    return out;
}

void magnifier(QPainter& p, QPointF c, QColor ink) {
    p.setPen(pen(ink, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, 5, 5);
    p.setPen(pen(ink, 2.2));
    p.drawLine(c + QPointF(3.7, 3.7), c + QPointF(7.2, 7.2));
}

QImage fsGlyph(int w, int h, const std::function<void(QPainter&, QPointF)>& draw) {
    QImage image = canvas(w, h);
    QPainter p(&image);
    setup(p);
    draw(p, QPointF(w / 2.0, h / 2.0));
    return image;
}

void pin(QPainter& p, QPointF c, QColor ink, double angle) {
    p.save();
    p.translate(c);
    p.rotate(angle);
    p.setPen(pen(ink, 1.4));
    p.setBrush(ink);
    p.drawRoundedRect(QRectF(-3, -7, 6, 6), 1, 1); // head
    p.drawLine(QPointF(-5, -1), QPointF(5, -1));   // collar
    p.drawLine(QPointF(0, -1), QPointF(0, 7));     // needle
    p.restore();
}

void writeFullScreen() {
    save(drawFullScreenPanel(), "fspanel.png");
    save(fsGlyph(22, 18, [](QPainter& p, QPointF c) { pin(p, c, kLightInk, 45); }), "fs_pin_0.png");
    save(fsGlyph(22, 18,
                 [](QPainter& p, QPointF c) {
                     QRadialGradient glow(c, 9);
                     glow.setColorAt(0, withAlpha(kAccent, 90));
                     glow.setColorAt(1, withAlpha(kAccent, 0));
                     p.setPen(Qt::NoPen);
                     p.setBrush(glow);
                     p.drawEllipse(c, 9, 9);
                     pin(p, c + QPointF(0, 0.5), kAccent.darker(140), 0);
                 }),
         "fs_pin_2.png");
    save(fsGlyph(22, 19,
                 [](QPainter& p, QPointF c) {
                     const QPointF m = c + QPointF(-1.5, -1.5);
                     magnifier(p, m, kLightInk);
                     p.setPen(pen(kLightInk, 1.4));
                     p.drawLine(m + QPointF(-2.5, 0), m + QPointF(2.5, 0));
                     p.drawLine(m + QPointF(0, -2.5), m + QPointF(0, 2.5));
                 }),
         "fs_zoomin.png");
    save(fsGlyph(22, 19,
                 [](QPainter& p, QPointF c) {
                     const QPointF m = c + QPointF(-1.5, -1.5);
                     magnifier(p, m, kLightInk);
                     p.setPen(pen(kLightInk, 1.4));
                     p.drawLine(m + QPointF(-2.5, 0), m + QPointF(2.5, 0));
                 }),
         "fs_zoomout.png");
    save(fsGlyph(22, 19,
                 [](QPainter& p, QPointF c) {
                     p.setPen(pen(kLightInk, 1.3));
                     p.setBrush(Qt::NoBrush);
                     p.drawRoundedRect(QRectF(c.x() - 8, c.y() - 6, 16, 12), 2, 2);
                     p.setFont(font(9, true));
                     p.drawText(QRectF(c.x() - 8, c.y() - 6, 16, 12), Qt::AlignCenter, "1:1");
                 }),
         "fs_actualsize.png");
    save(fsGlyph(22, 19,
                 [](QPainter& p, QPointF c) {
                     cameraBody(p, QRectF(c.x() - 8, c.y() - 7.5, 16, 15), kLightInk, 1.4);
                 }),
         "fs_capture.png");
    save(fsGlyph(18, 18,
                 [](QPainter& p, QPointF c) {
                     p.setPen(Qt::NoPen);
                     p.setBrush(withAlpha(kDanger, 40));
                     p.drawEllipse(c, 7.5, 7.5);
                     p.setPen(pen(kDanger.darker(130), 1.8));
                     p.drawLine(c + QPointF(-3.5, -3.5), c + QPointF(3.5, 3.5));
                     p.drawLine(c + QPointF(3.5, -3.5), c + QPointF(-3.5, 3.5));
                 }),
         "fs_close.png");
}

// ---- icons and placeholders --------------------------------------------------------------------

// The program's mark: a camera lens seen from the front, iris lit in the accent.
QImage drawIcon(int size) {
    QImage image = canvas(size, size);
    QPainter p(&image);
    setup(p);
    const double s = size / 64.0;
    const QRectF r(1 * s, 1 * s, 62 * s, 62 * s);
    p.setPen(size >= 32 ? pen(QColor(0x3b, 0x47, 0x55), 1.5 * s) : Qt::NoPen);
    p.setBrush(vertical(r, QColor(0x25, 0x2e, 0x39), QColor(0x10, 0x15, 0x1b)));
    p.drawRoundedRect(r, 14 * s, 14 * s);
    const QPointF c(32 * s, 32 * s);
    // Barrel.
    p.setPen(Qt::NoPen);
    QLinearGradient barrel(QPointF(0, 8 * s), QPointF(0, 56 * s));
    barrel.setColorAt(0, QColor(0x5a, 0x68, 0x78));
    barrel.setColorAt(1, QColor(0x22, 0x2a, 0x34));
    p.setBrush(barrel);
    p.drawEllipse(c, 24 * s, 24 * s);
    p.setBrush(QColor(0x0b, 0x0e, 0x12));
    p.drawEllipse(c, 19.5 * s, 19.5 * s);
    // Glass and iris.
    QRadialGradient glass(c + QPointF(-4 * s, -4 * s), 17 * s);
    glass.setColorAt(0, QColor(0x1f, 0x4a, 0x5e));
    glass.setColorAt(0.6, QColor(0x0e, 0x22, 0x2e));
    glass.setColorAt(1, QColor(0x05, 0x0a, 0x0e));
    p.setBrush(glass);
    p.drawEllipse(c, 16 * s, 16 * s);
    p.setPen(pen(kAccent, std::max(1.0, 2.2 * s)));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, 9 * s, 9 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x02, 0x04, 0x06));
    p.drawEllipse(c, 5.5 * s, 5.5 * s);
    // Glint.
    p.setBrush(withAlpha(Qt::white, 200));
    p.drawEllipse(c + QPointF(-6 * s, -6.5 * s), 3 * s, 2.2 * s);
    if (size >= 32) {
        p.setBrush(withAlpha(Qt::white, 90));
        p.drawEllipse(c + QPointF(5 * s, 5 * s), 1.4 * s, 1.4 * s);
        // Recording dot.
        p.setBrush(QColor(0xf0, 0x52, 0x5a));
        p.drawEllipse(QPointF(53 * s, 11 * s), 3.2 * s, 3.2 * s);
    }
    return image;
}

QImage drawStatus(bool live) {
    QImage image = canvas(16, 16);
    QPainter p(&image);
    setup(p);
    const QPointF c(8, 8);
    if (live) {
        QRadialGradient halo(c, 8);
        halo.setColorAt(0, QColor(0x2e, 0xcc, 0x71, 150));
        halo.setColorAt(1, QColor(0x2e, 0xcc, 0x71, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(halo);
        p.drawEllipse(c, 8, 8);
        QRadialGradient dot(c + QPointF(-1.2, -1.2), 5);
        dot.setColorAt(0, QColor(0x9d, 0xf5, 0xbf));
        dot.setColorAt(1, QColor(0x1f, 0xa8, 0x58));
        p.setBrush(dot);
        p.setPen(pen(QColor(0x16, 0x7a, 0x41), 1));
        p.drawEllipse(c, 4.5, 4.5);
    } else {
        p.setPen(pen(QColor(0x8a, 0x95, 0xa1), 1.2));
        p.setBrush(QColor(0xd5, 0xdb, 0xe1));
        p.drawEllipse(c, 4.5, 4.5);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x8a, 0x95, 0xa1));
        p.drawEllipse(c, 1.6, 1.6);
    }
    return image;
}

QImage drawSnapshotPlaceholder() {
    const int w = 160, h = 120;
    QImage image = canvas(w, h);
    QPainter p(&image);
    setup(p);
    p.fillRect(image.rect(), vertical(image.rect(), QColor(0x1a, 0x20, 0x28), kWell));
    p.setPen(pen(kWellEdge, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, w - 1, h - 1));
    cameraBody(p, QRectF(w / 2.0 - 17, 28, 34, 30), QColor(0x4a, 0x57, 0x66), 2);
    p.setPen(QColor(0x7d, 0x8a, 0x99));
    p.setFont(font(12));
    p.drawText(QRectF(0, 68, w, 20), Qt::AlignCenter, "No snapshot");
    p.end();
    QImage out = image.convertToFormat(QImage::Format_RGB32);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    // Drawing needs no display; the build may run where there is none.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    gOutDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(gOutDir)) {
        std::fprintf(stderr, "norvale_artgen: cannot create %s\n", argv[1]);
        return 1;
    }
    try {
        chooseFont();
        save(drawBackground(), "background.jpg", 90);
        save(drawPanel(), "panel.jpg", 92);
        writeButtons();
        writeFullScreen();
        save(drawIcon(64), "icon.png");
        save(drawIcon(16), "icon16.png");
        save(drawStatus(false), "status0.png");
        save(drawStatus(true), "status1.png");
        save(drawSnapshotPlaceholder(), "snapshot_placeholder.png");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvale_artgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
