#include "tests/windowkit.h"

#include <QCoreApplication>
#include <QEvent>

Form1& WindowTest::create(int homePageDraw) {
    stop();
    prompter_ = std::make_unique<ScriptedPrompter>();
    form_ = std::make_unique<Form1>(*prompter_);
    form_->drawHomePageNumber = [homePageDraw] {
        return homePageDraw;
    };
    opened_.clear();
    form_->openUrl = [this](const QUrl& url) {
        opened_ << url;
    };
    return *form_;
}

Form1& WindowTest::start(int homePageDraw) {
    create(homePageDraw).Form_Load();
    return *form_;
}

void WindowTest::stop() {
    form_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
