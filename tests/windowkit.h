#pragma once

#include "app/form1.h"
#include "tests/testkit.h"

#include <QList>
#include <QObject>
#include <QUrl>

#include <memory>

// What every test of the main window starts from: Form1 on a prompter that the test scripts, the
// one-in-a-hundred home page draw fixed, and every address the window would open recorded instead
// of opened. A test of the window derives from it and reaches the window through form_.
class WindowTest : public QObject {
    Q_OBJECT

protected:
    // A draw that never opens the home page.
    static constexpr int kNoHomePage = 1;

    // A fresh prompter and window, not yet loaded, for a test that sets something first.
    Form1& create(int homePageDraw = kNoHomePage);
    // A fresh prompter and window, loaded as the program loads it at start-up.
    Form1& start(int homePageDraw = kNoHomePage);
    // Closes the window and lets its deferred deletes run, so that a later start begins afresh.
    void stop();

    std::unique_ptr<ScriptedPrompter> prompter_;
    std::unique_ptr<Form1> form_;
    QList<QUrl> opened_;
};
