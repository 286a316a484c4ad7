#pragma once

#include "tests/testkit.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// What the tests of the command line share: the program they run and the pictures they give it.

// tintorel-cli as built beside the tests.
inline const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");

inline ProcessResult RunCli(const QStringList& arguments, const QByteArray& input = {}) {
    return RunProcess(kCli, arguments, input);
}

// Every file of a folder, hidden ones included, so that a temporary file left behind shows.
QStringList AllFiles(const QString& folder);

// A picture whose pixels differ from place to place and from seed to seed.
QImage Gradient(int width, int height, int seed);

// The watermark the tests stamp: white, which is left out, with a red line across.
QImage CliMark();

// One photo written into the folder as a.jpg, b.png, sub/c.PNG and sub/deeper/d.bmp.
void WritePhotos(const QString& folder);

// The folders of a command-line test, made afresh for each test function by makeFolders(): in/
// holding the watermark in/mark.png, and out/. A test class derives from it beside QObject.
class CliFolders {
protected:
    void makeFolders();
    QString in(const QString& name) const { return dir_->filePath("in/" + name); }
    QString out(const QString& name = {}) const { return dir_->filePath("out/" + name); }
    // The options every run needs: the watermark and the output folder.
    QStringList base() const {
        return {"--watermark", in("mark.png"), "--output", out().chopped(1)};
    }

    std::unique_ptr<QTemporaryDir> dir_;
};
