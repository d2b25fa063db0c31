#include "app/shell/Artwork.h"

#include "app/shell/JpegImage.h"

namespace norvale {

namespace {
// The disabled look derived from the normal picture: grey and dimmed, so a button that cannot
// be used is told apart at a glance. The magenta key colour of shaped pictures stays as it is.
QImage disabledLook(const QImage& normal) {
    QImage out = normal.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = line[x];
            if ((p & 0xffffff) == 0xff00ff)
                continue;
            const int v = qGray(p) * 2 / 5 + 30;
            line[x] = qRgba(v, v, v, qAlpha(p));
        }
    }
    return out;
}
} // namespace

Artwork::Artwork(QString folder) : folder_(std::move(folder)) {
    if (!folder_.isEmpty() && !folder_.endsWith(QLatin1Char('/')))
        folder_ += QLatin1Char('/');
}

QImage Artwork::image(const QString& fileName) const {
    auto it = images_.constFind(fileName);
    if (it != images_.constEnd())
        return *it;
    const QString path = folder_ + fileName;
    QImage img = fileName.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive) ? loadJpeg(path)
                                                                               : QImage(path);
    if (!img.isNull())
        img = img.convertToFormat(QImage::Format_ARGB32);
    images_.insert(fileName, img);
    return img;
}

const QList<QImage>* Artwork::buttonImages(const QString& id) const {
    auto it = buttons_.find(id);
    if (it == buttons_.end()) {
        QList<QImage> list;
        for (int i = 0; i < 3; ++i) { // normal, hover, pressed
            QImage img = image(QStringLiteral("btn_%1_%2.png").arg(id).arg(i));
            if (img.isNull())
                break;
            list.append(img);
        }
        if (list.size() == 3)
            list.append(disabledLook(list.front()));
        it = buttons_.emplace(id, std::move(list)).first;
    }
    return &it->second;
}

} // namespace norvale
