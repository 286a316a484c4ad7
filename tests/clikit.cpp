#include "tests/clikit.h"

#include <QDir>
#include <QTest>

QStringList AllFiles(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

QImage Gradient(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y,
                           qRgb((x * 3 + seed * 40) % 256, (y * 5) % 256, (x + y + seed) % 256));
    return image;
}

QImage CliMark() {
    QImage mark = SolidImage(12, 8, qRgb(255, 255, 255));
    for (int x = 2; x < 10; ++x)
        mark.setPixel(x, 4, qRgb(220, 20, 20));
    return mark;
}

void WritePhotos(const QString& folder) {
    QDir(folder).mkpath(QStringLiteral("sub/deeper"));
    QImage photo(90, 70, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x * 2, y * 3, 100));
    WriteImage(photo, folder + QStringLiteral("/a.jpg"), "jpeg");
    WriteImage(photo, folder + QStringLiteral("/b.png"), "png");
    WriteImage(photo, folder + QStringLiteral("/sub/c.PNG"), "png");
    WriteImage(photo, folder + QStringLiteral("/sub/deeper/d.bmp"), "bmp");
}

void CliFolders::makeFolders() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("in")));
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("out")));
    WriteImage(CliMark(), in(QStringLiteral("mark.png")), "png");
}
