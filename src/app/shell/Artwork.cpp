#include "app/shell/Artwork.h"

#include "app/shell/JpegImage.h"

namespace norvale {

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
        for (int i = 0; i < 3; ++i) {
            QImage img = image(QStringLiteral("btn_%1_%2.png").arg(id).arg(i));
            if (img.isNull())
                break;
            list.append(img);
        }
        it = buttons_.emplace(id, std::move(list)).first;
    }
    return &it->second;
}

} // namespace norvale
