#include "app/form1.h"
#include "app/qtprompter.h"
#include "filelist/addfiles.h"
#include "filelist/imagelist.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tintorel"));
    QApplication::setQuitOnLastWindowClosed(false);

    QtPrompter prompter;
    Form1 form(prompter);
    prompter.setParent(&form);
    form.Form_Load();
    // Centred on the screen when first shown, and never larger than it.
    form.placeOnScreen(form.screen()->availableGeometry());
    form.show();
    // "Open with" from the desktop names files and folders to list once the window shows.
    const QStringList given = QCoreApplication::arguments().mid(1);
    QTimer::singleShot(
        0, &form, [&form, &prompter, given] { AddStartPaths(*form.ListView1, given, &prompter); });
    return app.exec();
}
