// The JPEG writer: libjpeg-turbo encoding rows a band at a time, at a quality or an input's tables.
#include "engine/io/codecio.h"
#include "engine/io/libjpeg.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QIODevice>

#include <algorithm>
#include <array>

namespace {

// The picture's component whose table and sampling a component of the copy takes: the same one
// when the copy has the picture's components; in a YCbCr copy of a greyscale or CMYK picture, the
// first for the luminance and the second (a greyscale picture's only one) for both chromas; in
// any other copy the same one where the picture has it, else its last.
int sourceComponent(int component, int copyComponents, const JpegTables& tables) {
    const int last = tables.components - 1;
    if (copyComponents == tables.components)
        return component;
    if (copyComponents == 3 && component > 0)
        return std::min(1, last);
    return std::min(component, last);
}

// An input's own tables and component table numbers, whatever the copy's components; its
// sampling where the picture has colour to sample from (a greyscale picture's copy keeps the
// standard 4:2:0 for its chroma).
void applyTables(jpeg_compress_struct& info, const JpegTables& tables) {
    if (tables.components < 1 || tables.components > kJpegTableComponents)
        return;
    for (int slot = 0; slot < NUM_QUANT_TBLS; ++slot) {
        if (!tables.present[size_t(slot)])
            continue;
        std::array<unsigned int, DCTSIZE2> values{};
        std::copy(tables.tables[size_t(slot)].begin(), tables.tables[size_t(slot)].end(),
                  values.begin());
        jpeg_add_quant_table(&info, slot, values.data(), 100, FALSE);
    }
    const bool sampled = tables.components >= 3 && info.num_components >= 3;
    for (int c = 0; c < info.num_components && c < kJpegTableComponents; ++c) {
        const auto source = size_t(sourceComponent(c, info.num_components, tables));
        info.comp_info[c].quant_tbl_no = tables.componentTable[source];
        if (sampled) {
            info.comp_info[c].h_samp_factor = tables.hSampling[source];
            info.comp_info[c].v_samp_factor = tables.vSampling[source];
        }
    }
}

void applySampling(jpeg_compress_struct& info, const JpegTables& tables) {
    for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = tables.hSampling[size_t(c)];
        info.comp_info[c].v_samp_factor = tables.vSampling[size_t(c)];
    }
}

// What the rows given to the writer hold: RGB32 written in colour or, with equal channels, as
// grey levels; or Adobe's inverted CMYK, written as it is.
enum class JpegRows { Colour, Gray, Cmyk };

class JpegRowWriter final : public RowWriter {
public:
    JpegRowWriter(QIODevice& device, const PictureMetadata& metadata)
        : jpeg_(device), markers_(markersFor(metadata)), icc_(metadata.icc),
          density_(metadata.density) {}

    void start(QSize size, const JpegSettings& settings, JpegRows rows);
    void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) override;
    void finish() override {
        run([&] { jpeg_finish_compress(&info_); });
    }

private:
    template <typename Step> void run(const Step& step) { jpeg_.run(step); }

    JpegCompressor jpeg_;
    jpeg_compress_struct& info_ = jpeg_.info;
    const JpegMarkers markers_;
    const QByteArray icc_;
    const std::optional<PixelDensity> density_;
};

void JpegRowWriter::start(QSize size, const JpegSettings& settings, JpegRows rows) {
    run([&] {
        info_.image_width = JDIMENSION(size.width());
        info_.image_height = JDIMENSION(size.height());
        info_.input_components = 4;
        info_.in_color_space = rows == JpegRows::Cmyk ? JCS_CMYK : kRowColorSpace;
        // The standard tables with 4:2:0 sampling (a JPEG input's own sampling where it is
        // kept), baseline, with the standard Huffman tables. Tables made for the picture would
        // make the copy about 9 % smaller, but libjpeg makes them in a first pass over every
        // coefficient of the picture, held whole: a 12-megapixel stream copy took 63 MB rather
        // than 28 and 30 % more time. A progressive copy holds its coefficients anyway, and gets
        // them at no further cost in memory.
        jpeg_set_defaults(&info_);
        // libjpeg-turbo takes the grey level from the rows' equal channels exactly: its weights
        // of red, green and blue add up to one in its fixed point.
        if (rows == JpegRows::Gray)
            jpeg_set_colorspace(&info_, JCS_GRAYSCALE);
        // CMYK is stored as the picture stored it, YCCK or plain; libjpeg adds Adobe's marker,
        // which tells readers that the inks are inverted.
        const std::optional<JpegTables>& own = settings.tables ? settings.tables : settings.sampling;
        if (rows == JpegRows::Cmyk)
            jpeg_set_colorspace(&info_, own && !own->ycck ? JCS_CMYK : JCS_YCCK);
        jpeg_set_quality(&info_, settings.quality, TRUE);
        if (settings.tables)
            applyTables(info_, *settings.tables);
        else if (settings.sampling && settings.sampling->components >= 3 &&
                 settings.sampling->components == info_.num_components)
            applySampling(info_, *settings.sampling);
        if (settings.progressive) {
            jpeg_simple_progression(&info_);
            info_.optimize_coding = TRUE;
        }
        setJpegDensity(info_, density_);
        jpeg_start_compress(&info_, TRUE);
        writeJpegMarkers(info_, markers_, icc_);
    });
}

void JpegRowWriter::writeRows(const uchar* rows, qsizetype bytesPerLine, int count) {
    run([&] {
        for (int y = 0; y < count; ++y) {
            JSAMPROW row = const_cast<uchar*>(rows + y * bytesPerLine);
            jpeg_write_scanlines(&info_, &row, 1);
        }
    });
}

} // namespace

std::unique_ptr<RowWriter> StartJpegWriter(QIODevice& device, QSize size,
                                           const JpegSettings& settings,
                                           const PictureMetadata& metadata, bool gray) {
    auto writer = std::make_unique<JpegRowWriter>(device, metadata);
    writer->start(size, settings, gray ? JpegRows::Gray : JpegRows::Colour);
    return writer;
}

void WriteCmykJpeg(const QImage& cmyk, QIODevice& device, const JpegSettings& settings,
                   const PictureMetadata& metadata) {
    JpegRowWriter writer(device, metadata);
    writer.start(cmyk.size(), settings, JpegRows::Cmyk);
    writer.writeRows(cmyk.constBits(), cmyk.bytesPerLine(), cmyk.height());
    writer.finish();
}
