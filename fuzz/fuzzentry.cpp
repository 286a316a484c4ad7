#include "fuzz/fuzzentry.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <memory>

void startFuzzApplication() {
    // libFuzzer's own flags are no business of Qt's: the application sees the program name only.
    static int argc = 1;
    static char name[] = "tintorel-fuzz";
    static char* argv[] = {name, nullptr};
    static const auto application = std::make_unique<QCoreApplication>(argc, argv);
    // Qt's decoders warn of every damaged file; a fuzzer makes thousands a second.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
}

void fuzzPropertyFailed(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}
