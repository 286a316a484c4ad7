#include "engine/run/provenance.h"

#include "engine/run/outputfile.h"
#include "support/failure.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {
// A mark is 64 hex digits; anything much longer under the attribute's name is not ours.
constexpr size_t kLongestMark = 128;

std::atomic<bool> g_attributesUnsupported{false};

// The folder part of an encoded path, with its final "/", and the name after it.
QByteArray FolderPart(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray() : path.left(slash + 1);
}

QByteArray NamePart(const QByteArray& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

QByteArray Field(const QByteArray& name, const QByteArray& value) {
    return name + '=' + QByteArray::number(value.size()) + ':' + value + '\n';
}

QByteArray Number(double value) {
    return QByteArray::number(value, 'g', 17);
}

// The style's choices beyond scale, margin and opacity, each only where it differs from what a
// style holds without it, so that copies made before the choice existed keep their marks.
QByteArray ShapeFields(const StampStyle& style) {
    const StampStyle usual;
    QByteArray fields;
    if (style.scaleOf != usual.scaleOf)
        fields += Field("scale-of", QByteArray::number(int(style.scaleOf)));
    if (style.marginPercent >= 0)
        fields += Field("margin-percent", Number(style.marginPercent));
    if (style.rotation != usual.rotation)
        fields += Field("rotate", Number(style.rotation));
    if (style.tile)
        fields += Field("tile", Number(style.tileGap) + (style.tileStagger ? " stagger" : ""));
    return fields;
}

// What of a text mark changes its pixels, beside the font file's content and the picture's facts.
QByteArray TextFields(const TextStyle& text, int place) {
    if (text.text.isEmpty())
        return {};
    QByteArray fields = Field("text", text.text.toUtf8()) + Field("font", text.font.toUtf8()) +
                        Field("color", QByteArray::number(text.color)) +
                        Field("size", QByteArray::number(text.sizePercent, 'g', 17)) +
                        Field("outline", QByteArray::number(text.outline)) +
                        Field("shadow", QByteArray::number(text.shadow));
    if (text.text.contains(QLatin1String("{n")))
        fields += Field("place", QByteArray::number(place));
    return fields;
}

// Each further mark in its order, its file's content counted in MarksDigest.
QByteArray MoreMarkFields(const QList<MarkLayer>& layers, int place) {
    QByteArray fields;
    for (const MarkLayer& layer : layers)
        fields += Field("layer", QFile::encodeName(layer.WatermarkPath)) +
                  TextFields(layer.Text, place) +
                  Field("placement", QByteArray::number(layer.Placement)) +
                  Field("scale", Number(layer.Style.scale)) +
                  Field("margin", QByteArray::number(layer.Style.margin)) +
                  Field("opacity", QByteArray::number(layer.Style.opacity)) +
                  Field("key-tolerance", QByteArray::number(layer.Style.keyTolerance)) +
                  ShapeFields(layer.Style);
    return fields;
}

// What of the job changes the bytes of a copy in the format; the output's place does not.
QByteArray OptionFields(const WatermarkJob& job, PictureFormat format, int place) {
    QByteArray fields = Field("placement", QByteArray::number(job.Placement)) +
                        Field("transparent", QByteArray::number(job.TransparentColor)) +
                        Field("format", QByteArray::number(int(format))) +
                        Field("scale", QByteArray::number(job.Style.scale, 'g', 17)) +
                        Field("margin", QByteArray::number(job.Style.margin)) +
                        Field("opacity", QByteArray::number(job.Style.opacity)) +
                        Field("strip", QByteArray::number(job.Output.stripMetadata)) +
                        ShapeFields(job.Style) + MoreMarkFields(job.MoreMarks, place);
    // Absent without a resize, so that copies made before resizing existed stay current.
    if (job.Output.resize.resizes())
        fields += Field("resize", ResizeRuleText(job.Output.resize).toUtf8());
    // The JPEG choices change JPEG copies only, so that a new quality leaves PNG copies alone.
    if (format == PictureFormat::Jpeg)
        fields += Field("quality", QByteArray::number(job.Output.jpegQuality)) +
                  Field("keep", QByteArray::number(job.Output.keepJpegQuality)) +
                  Field("lossless", QByteArray::number(job.Output.losslessJpeg));
    return fields;
}

bool NoAttributes(int errorNumber) {
    return errorNumber == ENOTSUP || errorNumber == EOPNOTSUPP;
}
} // namespace

QByteArray ContentDigest(const QString& path) {
    // A pipe or device is never opened: it could keep the run waiting for ever.
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

QByteArray MarksDigest(const WatermarkJob& job) {
    const QByteArray first =
        ContentDigest(job.Text.text.isEmpty() ? job.WatermarkPath : job.Text.font);
    if (job.MoreMarks.isEmpty())
        return first;
    QByteArray digests = first;
    for (const MarkLayer& layer : job.MoreMarks)
        digests +=
            ' ' + ContentDigest(layer.Text.text.isEmpty() ? layer.WatermarkPath : layer.Text.font);
    return QCryptographicHash::hash(digests, QCryptographicHash::Sha256).toHex();
}

QByteArray SourceMark(const WatermarkJob& job, const QString& input, PictureFormat format,
                      const QByteArray& watermarkDigest, int place) {
    struct stat info {};
    if (::stat(QFile::encodeName(input).constData(), &info) != 0)
        info = {};
    const QByteArray recipe =
        Field("mark", "1") +
        Field("input", QFile::encodeName(QFileInfo(input).absoluteFilePath())) +
        Field("size", QByteArray::number(qint64(info.st_size))) +
        Field("modified", QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.' +
                              QByteArray::number(qint64(info.st_mtim.tv_nsec))) +
        Field("watermark", watermarkDigest) + OptionFields(job, format, place) +
        TextFields(job.Text, place);
    return QCryptographicHash::hash(recipe, QCryptographicHash::Sha256).toHex();
}

ExistingOutput OutputMarks::inspect(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0)
        return {errno == ENOENT || errno == ENOTDIR ? ExistingOutput::Kind::None
                                                    : ExistingOutput::Kind::Foreign,
                {}};
    // Only a regular file can be a copy: a link to one is someone else's arrangement.
    if (!S_ISREG(info.st_mode))
        return {ExistingOutput::Kind::Foreign, {}};
    char value[kLongestMark];
    const ssize_t length =
        g_attributesUnsupported
            ? (errno = ENOTSUP, -1)
            : ::lgetxattr(encoded.constData(), kSourceAttribute, value, sizeof value);
    if (length >= 0)
        return {ExistingOutput::Kind::Ours, QByteArray(value, length)};
    if (!NoAttributes(errno))
        return {ExistingOutput::Kind::Foreign, {}};
    const Records& records = recordsOf(FolderPart(encoded));
    const auto found = records.constFind(NamePart(encoded));
    if (found != records.cend() && found->inode == quint64(info.st_ino) &&
        found->size == qint64(info.st_size))
        return {ExistingOutput::Kind::Ours, found->mark};
    return {ExistingOutput::Kind::Foreign, {}};
}

const OutputMarks::Records& OutputMarks::recordsOf(const QByteArray& folder) {
    if (const auto known = folders_.constFind(folder); known != folders_.cend())
        return *known;
    Records records;
    QFile file(QFile::decodeName(folder) + kMarksFileName);
    struct stat info {};
    const bool regular = ::lstat(QFile::encodeName(file.fileName()).constData(), &info) == 0 &&
                         S_ISREG(info.st_mode);
    if (regular && file.open(QIODevice::ReadOnly)) {
        // One record a line, "mark inode size name"; a later record of a name replaces an
        // earlier one, since each copy written appends its own.
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() == 4)
                records.insert(QByteArray::fromPercentEncoding(fields[3]),
                               Record{fields[1].toULongLong(), fields[2].toLongLong(), fields[0]});
        }
    }
    return *folders_.insert(folder, records);
}

bool MarkCopy(OutputFile& file, const QByteArray& mark) {
    if (mark.isEmpty())
        return true;
    return !g_attributesUnsupported && file.setAttribute(kSourceAttribute, mark);
}

QString RecordMarkBeside(const QString& path, const QByteArray& mark) {
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    if (::stat(encoded.constData(), &info) != 0)
        return SystemErrorText(errno);
    const QByteArray line = mark + ' ' + QByteArray::number(quint64(info.st_ino)) + ' ' +
                            QByteArray::number(qint64(info.st_size)) + ' ' +
                            NamePart(encoded).toPercentEncoding() + '\n';
    const QByteArray records = FolderPart(encoded) + QFile::encodeName(kMarksFileName);
    // Appended in one write, so that workers recording at once never mix their lines; never
    // through a link, nor waiting on a pipe put in the record's place.
    const int fd =
        ::open(records.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return SystemErrorText(errno);
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    const int error = written < 0 ? errno : written == line.size() ? 0 : ENOSPC;
    if (::close(fd) != 0 && error == 0)
        return SystemErrorText(errno);
    return error ? SystemErrorText(error) : QString();
}

void SetMarkAttributesUnsupportedForTesting(bool unsupported) {
    g_attributesUnsupported = unsupported;
}
