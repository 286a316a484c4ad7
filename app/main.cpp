#include "app/form1.h"
#include "app/qtprompter.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tintorel"));
    QApplication::setQuitOnLastWindowClosed(false);

    QtPrompter prompter;
    Form1 form(prompter);
    prompter.setParent(&form);
    form.Form_Load();
    // Centred on the screen when first shown.
    const QRect screen = form.screen()->availableGeometry();
    form.move(screen.center() - form.rect().center());
    form.show();
    return app.exec();
}
