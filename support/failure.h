#pragma once

#include <QString>
#include <stdexcept>

// A failed step of a routine, carrying the platform's text for what went wrong. Routines raise it;
// the guarded operation that called them reports the text and goes on with its next step.
class Failure : public std::runtime_error {
public:
    explicit Failure(const QString& text) : std::runtime_error(text.toStdString()), text_(text) {}
    const QString& text() const { return text_; }

private:
    QString text_;
};

// The system's text for an errno value, as a failure would carry it.
QString SystemErrorText(int errorNumber);
