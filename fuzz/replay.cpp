// Runs a fuzz entry once on each file named, and on each file of each folder named, as libFuzzer
// runs a crash input again. As a test of every build it shows that the inputs kept in
// fuzz/regressions/ still go through without a crash (and in the sanitizer build without a memory
// error, a leak or undefined behaviour), so that a crash once found stays fixed.
#include "fuzz/fuzzentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {
// A folder that does not exist holds no inputs: git keeps no empty folder.
QStringList filesOf(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (!info.isDir())
        return {path};
    QStringList files;
    const QDir folder(path);
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden, QDir::Name))
        if (name != QLatin1String(".gitkeep"))
            files << folder.filePath(name);
    return files;
}
} // namespace

int main(int argc, char* argv[]) {
    LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const QString& path : filesOf(QFile::decodeName(argv[i]))) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
                return 1;
            }
            const QByteArray bytes = file.readAll();
            std::printf("%s\n", qPrintable(path));
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                   size_t(bytes.size()));
            ++count;
        }
    }
    std::printf("%d inputs\n", count);
    // No input at all means the paths are wrong, not that all is well.
    return count > 0 ? 0 : 1;
}
