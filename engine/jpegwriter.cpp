#include "engine/codecio.h"
#include "engine/jpegcommon.h"
#include "engine/metadataio.h"

#include "support/failure.h"

#include <QIODevice>

#include <array>
#include <cerrno>
#include <utility>
#include <vector>

namespace {

const QByteArray kExifPrefix("Exif\0\0", 6);
const QByteArray kXmpPrefix("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray kPhotoshopPrefix("Photoshop 3.0\0", 14);
// A marker's length field counts itself: 65535 - 2 bytes remain for its contents.
constexpr qsizetype kMarkerCapacity = 65533;

// Hands libjpeg's output to the device a large buffer at a time.
struct DeviceDestination {
    jpeg_destination_mgr manager; // first, so that libjpeg's pointer to it leads back here
    QIODevice* device;
    JpegErrors* errors;
    QString* reason;
    std::array<JOCTET, 64 * 1024> buffer;

    static DeviceDestination& of(j_compress_ptr info) {
        return *reinterpret_cast<DeviceDestination*>(info->dest);
    }

    // False, with the device's reason kept, when the device takes fewer bytes than it was given.
    bool flush(size_t count) {
        const auto written =
            device->write(reinterpret_cast<const char*>(buffer.data()), qint64(count));
        if (written == qint64(count))
            return true;
        *reason = device->errorString().isEmpty() ? SystemErrorText(EIO) : device->errorString();
        return false;
    }

    static void init(j_compress_ptr info) {
        DeviceDestination& self = of(info);
        self.manager.next_output_byte = self.buffer.data();
        self.manager.free_in_buffer = self.buffer.size();
    }
    static boolean empty(j_compress_ptr info) {
        DeviceDestination& self = of(info);
        if (!self.flush(self.buffer.size()))
            std::longjmp(self.errors->jump, 1);
        init(info);
        return TRUE;
    }
    static void term(j_compress_ptr info) {
        DeviceDestination& self = of(info);
        if (!self.flush(self.buffer.size() - self.manager.free_in_buffer))
            std::longjmp(self.errors->jump, 1);
    }
};

// The metadata as the marker segments that carry it, each only when it fits in one; the colour
// profile is split over several by libjpeg itself.
std::vector<std::pair<int, QByteArray>> markersFor(const PictureMetadata& metadata) {
    std::vector<std::pair<int, QByteArray>> markers;
    const auto add = [&](int marker, const QByteArray& prefix, const QByteArray& body) {
        if (!body.isEmpty() && prefix.size() + body.size() <= kMarkerCapacity)
            markers.emplace_back(marker, prefix + body);
    };
    add(JPEG_APP0 + 1, kExifPrefix, metadata.exif);
    add(JPEG_APP0 + 1, kXmpPrefix, metadata.xmp);
    if (!metadata.iptc.isEmpty())
        add(JPEG_APP0 + 13, kPhotoshopPrefix, photoshopFromIptc(metadata.iptc));
    return markers;
}

// An input's own tables, component table numbers and sampling; a grey input's single table
// serves the luminance, while the colour channels keep the standard tables of the quality.
void applyTables(jpeg_compress_struct& info, const JpegTables& tables) {
    for (int slot = 0; slot < NUM_QUANT_TBLS; ++slot) {
        if (!tables.present[size_t(slot)])
            continue;
        std::array<unsigned int, DCTSIZE2> values{};
        std::copy(tables.tables[size_t(slot)].begin(), tables.tables[size_t(slot)].end(),
                  values.begin());
        jpeg_add_quant_table(&info, slot, values.data(), 100, FALSE);
    }
    for (int c = 0; c < tables.components && c < info.num_components; ++c) {
        info.comp_info[c].quant_tbl_no = tables.componentTable[size_t(c)];
        if (tables.components == 3) {
            info.comp_info[c].h_samp_factor = tables.hSampling[size_t(c)];
            info.comp_info[c].v_samp_factor = tables.vSampling[size_t(c)];
        }
    }
}

class JpegRowWriter final : public RowWriter {
public:
    JpegRowWriter(QIODevice& device, const PictureMetadata& metadata)
        : markers_(markersFor(metadata)), icc_(metadata.icc) {
        destination_.device = &device;
        destination_.errors = &errors_;
        destination_.reason = &reason_;
        destination_.manager.init_destination = DeviceDestination::init;
        destination_.manager.empty_output_buffer = DeviceDestination::empty;
        destination_.manager.term_destination = DeviceDestination::term;
    }
    ~JpegRowWriter() override { jpeg_destroy_compress(&info_); }

    void start(QSize size, const JpegSettings& settings);
    void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) override;
    void finish() override {
        run([&] { jpeg_finish_compress(&info_); });
    }

private:
    template <typename Step> void run(const Step& step) {
        if (!runJpegStep(errors_, step))
            throw Failure(reason_.isEmpty() ? jpegFailureText(errors_) : reason_);
    }

    JpegErrors errors_{};
    DeviceDestination destination_{};
    jpeg_compress_struct info_{};
    QString reason_;
    const std::vector<std::pair<int, QByteArray>> markers_;
    const QByteArray icc_;
};

void JpegRowWriter::start(QSize size, const JpegSettings& settings) {
    info_.err = installJpegErrors(errors_);
    run([&] {
        jpeg_create_compress(&info_);
        info_.dest = &destination_.manager;
        info_.image_width = JDIMENSION(size.width());
        info_.image_height = JDIMENSION(size.height());
        info_.input_components = 4;
        info_.in_color_space = kRowColorSpace;
        // The standard tables with 4:2:0 sampling, baseline, without optimised Huffman tables:
        // what Qt's writer produced before, at the same size and speed.
        jpeg_set_defaults(&info_);
        jpeg_set_quality(&info_, settings.quality, TRUE);
        if (settings.tables)
            applyTables(info_, *settings.tables);
        jpeg_start_compress(&info_, TRUE);
        for (const auto& [marker, body] : markers_)
            jpeg_write_marker(&info_, marker, reinterpret_cast<const JOCTET*>(body.constData()),
                              unsigned(body.size()));
        if (!icc_.isEmpty())
            jpeg_write_icc_profile(&info_, reinterpret_cast<const JOCTET*>(icc_.constData()),
                                   unsigned(icc_.size()));
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
                                           const PictureMetadata& metadata) {
    auto writer = std::make_unique<JpegRowWriter>(device, metadata);
    writer->start(size, settings);
    return writer;
}
