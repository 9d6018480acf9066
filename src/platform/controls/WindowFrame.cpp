#include "WindowFrame.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef HAKOMI_XCB
#include <xcb/xcb.h>
#endif

namespace platform
{

#ifdef HAKOMI_XCB
namespace
{

struct FreeReply {
    void operator()(void *p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Other platforms can offer the interface too, without a connection of their own.
xcb_connection_t *connection()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 && QGuiApplication::platformName() == QLatin1String("xcb") ? x11->connection()
                                                                          : nullptr;
}

// The window manager lists in _NET_SUPPORTED what it does; none means there is none.
bool supported(xcb_connection_t *c, xcb_window_t root, xcb_atom_t what)
{
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, atom(c, "_NET_SUPPORTED"), XCB_ATOM_ATOM, 0, 4096),
        nullptr));
    if (!reply || reply->format != 32)
        return false;
    const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
    const int n = xcb_get_property_value_length(reply.get()) / 4;
    for (int i = 0; i < n; ++i) {
        if (atoms[i] == what)
            return true;
    }
    return false;
}

std::optional<QMargins> readExtents(xcb_connection_t *c, xcb_window_t window, xcb_atom_t extents)
{
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 16)
        return std::nullopt;
    const auto *v = static_cast<const std::uint32_t *>(xcb_get_property_value(reply.get()));
    // left, right, top, bottom
    return QMargins(int(v[0]), int(v[2]), int(v[1]), int(v[3]));
}

} // namespace
#endif

std::optional<QMargins> FrameExtents(QWidget *window)
{
#ifdef HAKOMI_XCB
    if (xcb_connection_t *c = connection()) {
        const xcb_window_t id = xcb_window_t(window->winId());
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const xcb_atom_t request = atom(c, "_NET_REQUEST_FRAME_EXTENTS");
        const xcb_atom_t extents = atom(c, "_NET_FRAME_EXTENTS");
        if (request == XCB_ATOM_NONE || extents == XCB_ATOM_NONE || !supported(c, root, request))
            return std::nullopt;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = id;
        message.type = request;
        xcb_send_event(c, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char *>(&message));
        xcb_flush(c);
        // The answer is a property on the window; a window manager answers at once, or not.
        QElapsedTimer waited;
        waited.start();
        do {
            if (std::optional<QMargins> m = readExtents(c, id, extents)) {
                const qreal ratio = window->devicePixelRatioF();
                return QMargins(qRound(m->left() / ratio), qRound(m->top() / ratio),
                                qRound(m->right() / ratio), qRound(m->bottom() / ratio));
            }
            QThread::msleep(2);
        } while (waited.elapsed() < 500);
        return std::nullopt;
    }
#endif
    (void)window;
    return QMargins();
}

void KeepOffTaskbar(QWidget *window)
{
#ifdef HAKOMI_XCB
    xcb_connection_t *c = connection();
    if (!c)
        return;
    const xcb_atom_t state = atom(c, "_NET_WM_STATE");
    const xcb_atom_t skip = atom(c, "_NET_WM_STATE_SKIP_TASKBAR");
    if (state == XCB_ATOM_NONE || skip == XCB_ATOM_NONE)
        return;
    // Qt merges its own states into this one when it maps the window.
    xcb_change_property(c, XCB_PROP_MODE_APPEND, xcb_window_t(window->winId()), state,
                        XCB_ATOM_ATOM, 32, 1, &skip);
    xcb_flush(c);
#else
    (void)window;
#endif
}

} // namespace platform
