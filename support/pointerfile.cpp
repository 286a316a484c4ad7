// Mouse pointers read from the .cur and .ico files beside the program.
#include "support/pointerfile.h"

#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QtEndian>

namespace {
// The hot spot of the first image of a .cur file: the two 16-bit values where an icon keeps its
// planes and bit count.
QPoint HotSpot(const QString& path, QSize size) {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray head = file.read(14);
        if (head.size() == 14 && qFromLittleEndian<quint16>(head.constData() + 2) == 2)
            return QPoint(qFromLittleEndian<quint16>(head.constData() + 10),
                          qFromLittleEndian<quint16>(head.constData() + 12));
    }
    return QPoint(size.width() / 2, size.height() / 2);
}
} // namespace

QCursor LoadPointerFile(const QString& path, const QCursor& fallback) {
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    const QImage picture = reader.read();
    if (picture.isNull())
        return fallback;
    const QPoint hot = HotSpot(path, picture.size());
    return QCursor(QPixmap::fromImage(picture), hot.x(), hot.y());
}
