#include "fuzz/fuzzentry.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <memory>

void startFuzzApplication(bool withGui) {
    // libFuzzer's own flags are no business of Qt's: the application sees the program name only.
    static int argc = 1;
    static char name[] = "tintorel-fuzz";
    static char* argv[] = {name, nullptr};
    if (withGui)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static const std::unique_ptr<QCoreApplication> application =
        withGui ? std::make_unique<QGuiApplication>(argc, argv)
                : std::make_unique<QCoreApplication>(argc, argv);
    // Qt's decoders and its reader of stored values warn of every damaged input; a fuzzer makes
    // thousands a second.
    QLoggingCategory::setFilterRules(
        QStringLiteral("qt.gui.imageio*=false\ndefault.warning=false"));
}

void fuzzPropertyFailed(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}
