#pragma once

// The one wrapper of libtiff, for the TIFF reader and writer: files read through their
// descriptor, copies made in memory, and libtiff's messages kept as the Failure of the handle
// that gave them, so that workers on different pictures never see each other's words.

#include "engine/io/picture.h"

#include <QByteArray>
#include <QString>

#include <memory>

#include <tiffio.h>

// What libtiff said against one handle: its first error, which names the cause, not the
// "cannot read" that follows it.
struct TiffErrors {
    QString first;
};

// Where libtiff reads and writes: a file's descriptor (read only, the file's owner closes it) or
// bytes in memory.
struct TiffSource {
    int fd = -1;
    QByteArray* bytes = nullptr;
    toff_t at = 0;
};

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// A libtiff handle with the errors and the place it reads and writes, which outlive it.
class TiffHandle {
public:
    // Opens the picture file's descriptor for reading; raises a Failure with libtiff's words.
    static TiffHandle readFile(int fd);
    // Opens bytes in memory: "w" writes a new file into them, "a" adds directories to the TIFF
    // they hold. Raises a Failure.
    static TiffHandle inMemory(QByteArray& bytes, const char* mode);

    TIFF* get() const { return tiff_.get(); }
    // Ends the file: libtiff writes what it still holds. Raises a Failure when it cannot.
    void close();
    // Raises the Failure for a libtiff call that failed, with libtiff's words, or `otherwise`
    // when it said nothing.
    [[noreturn]] void fail(const QString& otherwise) const;
    // Raises that Failure when `done` is false.
    void check(bool done, const QString& otherwise) const {
        if (!done)
            fail(otherwise);
    }

private:
    TiffHandle() = default;
    void open(const char* mode);

    std::unique_ptr<TiffSource> source_;
    std::unique_ptr<TiffErrors> errors_;
    std::unique_ptr<TIFF, TiffCloser> tiff_;
};

// libtiff's numbers for what a copy keeps, read from the current directory.
TiffSettings tiffSettingsOf(TIFF* tiff, bool gray);
// The density the current directory names; nothing without a resolution.
std::optional<PixelDensity> tiffDensityOf(TIFF* tiff);

// Writes the pages of a TIFF copy into memory one at a time: the first with the metadata (exiv2
// writes its EXIF, XMP, IPTC and colour profile into that page alone), each later page added
// after it with its own settings and resolution. Raises a Failure.
class TiffPagesWriter {
public:
    TiffPagesWriter(const PictureMetadata& metadata, int pages);
    TiffPagesWriter(const TiffPagesWriter&) = delete;
    TiffPagesWriter& operator=(const TiffPagesWriter&) = delete;
    ~TiffPagesWriter();

    void add(const QImage& page, const TiffSettings& settings,
             const std::optional<PixelDensity>& density);
    // The whole file, once every page is added.
    QByteArray finish();

private:
    PictureMetadata metadata_;
    int pages_ = 1;
    int written_ = 0;
    QByteArray bytes_;
    std::unique_ptr<TiffHandle> appending_;
};
