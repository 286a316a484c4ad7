#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

class QWidget;

// The window manager's close button on the main window. While one of the program's boxes is open,
// Qt holds such a request back from the window the box blocks, and the close would be lost: the
// run would go on to its last image and the program would not end. On X11 the request is taken
// as it arrives and handed to the window as its own close, which no box holds back. Elsewhere Qt's
// own way applies.
class CloseRequests : public QObject, public QAbstractNativeEventFilter {
public:
    explicit CloseRequests(QWidget* window);
    ~CloseRequests() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QWidget* window_;
    quint32 protocols_ = 0;
    quint32 deleteWindow_ = 0;
};
