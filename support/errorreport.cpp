// The common error report and the guarded steps that feed it.
#include "support/errorreport.h"

#include "support/failure.h"
#include "support/prompter.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

QString SystemErrorText(int errorNumber) {
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

QString ErrorReportText(const QString& description, const QString& location, int step) {
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") +
           QString::number(step) + QStringLiteral("\r\r") +
           QStringLiteral("Please email screenshot of this message to ") + kSupportAddress;
}

void ReportError(Prompter& prompter, const QString& location, int step,
                 const QString& description) {
    prompter.showMessage(ErrorReportText(description, location, step), kErrorReportTitle,
                         Prompter::Icon::Warning);
}

Guard::Guard(Prompter& prompter, QString location)
    : reporter_([&prompter, location = std::move(location)](int step, const QString& text) {
          ReportError(prompter, location, step, text);
      }) {}

bool Guard::step(int number, const std::function<void()>& work) {
    QString description;
    try {
        work();
        return true;
    } catch (const Failure& failure) {
        description = failure.text();
    } catch (const std::bad_alloc&) {
        description = SystemErrorText(ENOMEM);
    } catch (const std::exception& e) {
        description = QString::fromUtf8(e.what());
    }
    ++failures_;
    reporter_(number, description);
    return false;
}

bool Guard::test(int number, const std::function<bool()>& condition) {
    bool result = true;
    step(number, [&] { result = condition(); });
    return result;
}
