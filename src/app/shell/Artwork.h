#pragma once
// The pictures of the wall, read once from the artwork folder beside the executable. A missing
// or unreadable picture is an empty image: the control that shows it draws nothing.
#include <QHash>
#include <QImage>
#include <QList>
#include <QString>

#include <map>

namespace norvale {

class Artwork {
public:
    explicit Artwork(QString folder);

    // A JPEG (decoded with libjpeg) or PNG picture by file name, e.g. "background.jpg".
    QImage image(const QString& fileName) const;
    // The image list of a picture button: normal, hover and pressed pictures of btn_<id>_N.png,
    // then a disabled picture drawn from the normal one.
    // The list lives as long as this object, so buttons can keep its address.
    const QList<QImage>* buttonImages(const QString& id) const;

    const QString& folder() const { return folder_; }

private:
    QString folder_;
    mutable QHash<QString, QImage> images_;
    mutable std::map<QString, QList<QImage>> buttons_; // node-based: addresses stay valid
};

} // namespace norvale
