#pragma once
// JPEG pictures decoded with libjpeg directly: the wall's and the list panel's backgrounds.
#include <QImage>
#include <QString>

namespace norvale {

// Decodes a JPEG file; a missing, truncated or corrupt file gives a null image and an error
// text in *error (when given). Never throws.
QImage loadJpeg(const QString& path, QString* error = nullptr);
QImage decodeJpeg(const QByteArray& data, QString* error = nullptr);

} // namespace norvale
