// Copies as faithful as their pictures: for pictures of every kind made here, the copy's colour
// profile, depth, frames, encoding and metadata against the picture's, through the command line.
#include "tests/clikit.h"
#include "tests/codecsamples.h"

#include <QTest>

#include <functional>

namespace {
// One kind of picture: how the test makes it, the options its run takes beyond the watermark and
// the output folder, and what its copy must keep. `check` fails the test through QVERIFY and
// QCOMPARE; a case whose options name --watermark stamps that mark instead of the usual one.
struct FaithfulCase {
    const char* file; // the picture's name in the input folder
    std::function<void(const QString& path)> make;
    QStringList options;
    std::function<void(const QString& input, const QString& copy)> check;
};

QList<FaithfulCase> Cases() {
    return {
        {"sampling444.jpg",
         [](const QString& path) { writeFile(path, makeJpeg(photoLike(), 1, 1)); },
         {},
         [](const QString&, const QString& copy) {
             const JpegBlocksRead blocks = readJpegBlocks(copy);
             QCOMPARE(blocks.components.size(), size_t(3));
             QCOMPARE(blocks.components[0].h, 1);
             QCOMPARE(blocks.components[0].v, 1);
         }},
        {"photoshop.jpg",
         [](const QString& path) {
             Exiv2::IptcData iptc;
             iptc["Iptc.Application2.Byline"] = std::string(SampleMetadata::byline);
             const Exiv2::DataBuf data = Exiv2::IptcParser::encode(iptc);
             const QByteArray resources =
                 photoshopResource(0x03ED,
                                   QByteArray::fromHex("00480000000100010048000000010001")) +
                 photoshopFromIptc(
                     QByteArray(reinterpret_cast<const char*>(data.pData_), qsizetype(data.size_)));
             writeFile(path, jpegWithSegments(makeJpeg(photoLike(), 2, 2),
                                              {{0xED, photoshopSegment(resources)}}));
         },
         {},
         [](const QString& input, const QString& copy) {
             const PictureMetadata kept = PictureReader::open(copy)->metadata();
             QCOMPARE(kept.photoshop, PictureReader::open(input)->metadata().photoshop);
             QVERIFY(kept.photoshop.startsWith("8BIM\x03\xED"));
             QVERIFY(!kept.iptc.isEmpty());
             QCOMPARE(kept.iptc, PictureReader::open(input)->metadata().iptc);
         }},
        {"extended-xmp.jpg",
         [](const QString& path) { writeFile(path, jpegWithExtendedXmp(extendedXmpSample())); },
         {},
         [](const QString& input, const QString& copy) {
             const PictureMetadata kept = PictureReader::open(copy)->metadata();
             QCOMPARE(kept.extendedXmp, PictureReader::open(input)->metadata().extendedXmp);
             QCOMPARE(kept.extendedXmp.size(), extendedXmpSample().segments.size());
             QVERIFY(kept.xmp.contains(extendedXmpSample().guid));
         }},
        {"extended-xmp-to-png.jpg",
         [](const QString& path) { writeFile(path, jpegWithExtendedXmp(extendedXmpSample())); },
         {"--format", "png"},
         [](const QString&, const QString& copy) {
             const QByteArray xmp = PictureReader::open(copy)->metadata().xmp;
             QVERIFY(!xmp.contains("HasExtendedXMP"));
             QVERIFY(xmp.contains(
                 ExtendedXmpSample::keyword(ExtendedXmpSample::keywords - 1).toLatin1()));
         }},
    };
}
} // namespace

class TestFaithful : public QObject, CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void copyKeepsWhatThePictureHolds_data();
    void copyKeepsWhatThePictureHolds();
};

void TestFaithful::copyKeepsWhatThePictureHolds_data() {
    QTest::addColumn<int>("index");
    const QList<FaithfulCase> cases = Cases();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(cases.at(i).file) << i;
}

void TestFaithful::copyKeepsWhatThePictureHolds() {
    QFETCH(int, index);
    const FaithfulCase row = Cases().at(index);
    const QString input = in(QString::fromLatin1(row.file));
    row.make(input);
    QStringList arguments = row.options.contains(QStringLiteral("--watermark"))
                                ? QStringList{"--output", out().chopped(1)}
                                : base();
    arguments << row.options << input;
    const ProcessResult run = RunCli(arguments);
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QStringList copies = QDir(out()).entryList(QDir::Files, QDir::Name);
    QCOMPARE(copies.size(), 1);
    row.check(input, out(copies.front()));
}

QTEST_GUILESS_MAIN(TestFaithful)
#include "tst_faithful.moc"
