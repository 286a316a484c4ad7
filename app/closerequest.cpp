#include "app/closerequest.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>

#ifdef TINTOREL_WITH_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {
quint32 InternAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, quint16(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const quint32 atom = reply ? reply->atom : 0;
    std::free(reply);
    return atom;
}
} // namespace
#endif

CloseRequests::CloseRequests(QWidget* window) : QObject(window), window_(window) {
#ifdef TINTOREL_WITH_XCB
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    protocols_ = InternAtom(x11->connection(), "WM_PROTOCOLS");
    deleteWindow_ = InternAtom(x11->connection(), "WM_DELETE_WINDOW");
    if (protocols_ && deleteWindow_)
        QCoreApplication::instance()->installNativeEventFilter(this);
#endif
}

CloseRequests::~CloseRequests() {
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool CloseRequests::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
#ifdef TINTOREL_WITH_XCB
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->format != 32 || client->type != protocols_ ||
        client->data.data32[0] != deleteWindow_ || client->window != window_->internalWinId())
        return false;
    // Handed on as a posted event, which reaches the window in whatever loop runs: the run's
    // wait for its workers or a box's.
    QMetaObject::invokeMethod(window_, &QWidget::close, Qt::QueuedConnection);
    return true;
#else
    Q_UNUSED(eventType);
    Q_UNUSED(message);
    return false;
#endif
}
