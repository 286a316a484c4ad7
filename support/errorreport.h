#pragma once

#include <QString>
#include <functional>

class Prompter;

// The fixed location text of every guarded operation: where an unexpected failure happened.
namespace ErrorLocation {
inline const QString Form1Load = QStringLiteral("in Pelliton2021/08/31.Form1.Form_Load ");
inline const QString Form1QueryUnload =
    QStringLiteral("in Pelliton2021/08/31.Form1.Form_QueryUnload ");
inline const QString AddImageFiles =
    QStringLiteral("in Pelliton2021/08/31.Form1.PushButton1_Click ");
inline const QString StartRun = QStringLiteral("in Pelliton2021/08/31.Form1.PushButton2_Click ");
inline const QString AddFolderFiles =
    QStringLiteral("in Pelliton2021/08/31.Form1.PushButton3_Click ");
inline const QString ChooseWatermark =
    QStringLiteral("in Pelliton2021/08/31.Form1.PushButton4_Click ");
inline const QString Preview = QStringLiteral("in Pelliton2021/08/31.Form1.PushButton5_Click ");
inline const QString Advice = QStringLiteral("in Pelliton2021/08/31.Form1.PushButton6_Click ");
inline const QString ClearList = QStringLiteral("in Pelliton2021/08/31.Form1.PushButton7_Click ");
inline const QString LoadSamples = QStringLiteral("in Pelliton2021/08/31.Form1.PushButton8_Click ");
inline const QString ChooseOutputFolder =
    QStringLiteral("in Pelliton2021/08/31.Form1.PushButton9_Click ");
inline const QString Form2Load = QStringLiteral("in Pelliton2021/08/31.Form2.Form_Load ");
inline const QString FolderTree =
    QStringLiteral("in DorvanTitle2021/08/31.AddFolder.GetSubDirectories2016 ");
// Handlers that the original program left unguarded report under a location of the same form.
inline const QString Options = QStringLiteral("in Pelliton2021/08/31.Form1.Options ");
inline const QString ListHandlers = QStringLiteral("in Pelliton2021/08/31.Form1.ListView1 ");
} // namespace ErrorLocation

inline const QString kErrorReportTitle = QStringLiteral("Application Error");
inline const QString kSupportAddress = QStringLiteral("support@varnholt.example");

// The text of the common error report: description, CR LF, location, "at line " and the step,
// two carriage returns, then the request to send a screenshot.
QString ErrorReportText(const QString& description, const QString& location, int step);

// Shows the common error report as a warning box titled "Application Error" and returns when the
// user has dismissed it.
void ReportError(Prompter& prompter, const QString& location, int step, const QString& description);

// Runs the numbered steps of one guarded operation. A step that fails is reported once and the
// operation goes on with its next step: no roll-back, no retry, no abort.
class Guard {
public:
    using Reporter = std::function<void(int step, const QString& description)>;

    explicit Guard(Reporter reporter) : reporter_(std::move(reporter)) {}
    Guard(Prompter& prompter, QString location);

    // Runs one step; false when it failed (and was reported).
    bool step(int number, const std::function<void()>& work);
    // Runs the test of a conditional as a step. A test that fails is reported and counts as
    // passed, so the steps it guards still run.
    bool test(int number, const std::function<bool()>& condition);

    int failures() const { return failures_; }

private:
    Reporter reporter_;
    int failures_ = 0;
};
