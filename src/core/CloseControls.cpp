#include "core/CloseControls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t atomNamed(xcb_connection_t* connection, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, std::strlen(name), name), nullptr),
        &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The window named by `window`'s property `atom`, or none. A window that is
// gone is an answer here, not an error for the toolkit to report.
xcb_window_t windowProperty(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t atom) {
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, atom, XCB_ATOM_WINDOW, 0, 1),
                               &error),
        &std::free);
    std::free(error);
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) < 4)
        return XCB_WINDOW_NONE;
    return *static_cast<xcb_window_t*>(xcb_get_property_value(reply.get()));
}

bool xWindowManagerRuns(xcb_connection_t* connection) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen) return false;
    const xcb_window_t root = screen->root;
    // A window manager names a window of its own on the root, and that
    // window names itself: the second naming tells a running one from one
    // that died and left the root's.
    const xcb_atom_t check = atomNamed(connection, "_NET_SUPPORTING_WM_CHECK");
    if (check == XCB_ATOM_NONE) return false;
    const xcb_window_t child = windowProperty(connection, root, check);
    return child != XCB_WINDOW_NONE && windowProperty(connection, child, check) == child;
}

// Shows the button, each time the window shows, where no close box is drawn.
class CloseButtonWatch : public QObject {
public:
    CloseButtonWatch(QWidget* window, QAbstractButton* button) : QObject(button), button_(button) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) button_->setVisible(!CloseControls::windowManagerDrawsCloseBox());
        return false;
    }

private:
    QAbstractButton* button_;
};

// Whether an open list had the key being pressed. A list closes itself as
// the key arrives, before any shortcut of its window sees it, and it may
// have the platform's keyboard focus of its own: the whole application is
// watched, once.
class ListKeys : public QObject {
public:
    static ListKeys& shared() {
        static ListKeys* keys = [] {
            auto* k = new ListKeys(qApp);
            qApp->installEventFilter(k);
            return k;
        }();
        return *keys;
    }
    // Whether a list had the key now being pressed (asked once per key).
    bool takeListHadTheKey() { return std::exchange(listHadTheKey_, false); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride && QApplication::activePopupWidget()) listHadTheKey_ = true;
        if (event->type() == QEvent::KeyRelease) listHadTheKey_ = false;
        return false;
    }

private:
    using QObject::QObject;
    bool listHadTheKey_ = false;
};

// The close keys of one window. What closes is what has the keyboard: an
// open list, a tool panel of the window, else the window. A control that
// wants the key for itself (a field's completion, a cell being edited) says
// so before any shortcut and keeps it; a dialog of the window has the
// keyboard to itself.
class CloseKeys : public QObject {
public:
    explicit CloseKeys(QWidget* window) : QObject(window), window_(window) {
        ListKeys::shared();
        QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Close);
        for (const QKeySequence& key : {QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(Qt::Key_Escape)})
            if (!keys.contains(key)) keys << key;
        for (const QKeySequence& key : keys) {
            auto* shortcut = new QShortcut(key, window);
            shortcut->setContext(Qt::WindowShortcut);
            connect(shortcut, &QShortcut::activated, this, &CloseKeys::close);
        }
    }

private:
    void close() {
        const bool listHadTheKey = ListKeys::shared().takeListHadTheKey();
        if (QWidget* popup = QApplication::activePopupWidget()) {
            popup->close();
            return;
        }
        if (listHadTheKey) return;
        QWidget* active = QApplication::activeWindow();
        for (QWidget* w = active; w; w = w->parentWidget()) {
            if (w == window_) {
                active->close();
                return;
            }
        }
        window_->close();
    }

    QWidget* window_;
};

}  // namespace

namespace CloseControls {

bool windowManagerDrawsCloseBox() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
        auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        return x11 && x11->connection() && xWindowManagerRuns(x11->connection());
    }
    // The compositor draws frames, or the toolkit draws its own.
    if (platform.startsWith(QLatin1String("wayland"))) return true;
    // A frame buffer, a remote frame buffer, no display at all: nobody.
    static const QStringList bare = {QStringLiteral("eglfs"), QStringLiteral("linuxfb"), QStringLiteral("vnc"),
                                     QStringLiteral("vkkhrdisplay"), QStringLiteral("offscreen"),
                                     QStringLiteral("minimal"), QStringLiteral("minimalegl")};
    return !bare.contains(platform);
}

void addCloseKeys(QWidget* window) {
    new CloseKeys(window);
}

void makeCloseButton(QAbstractButton* button, QWidget* window) {
    button->setObjectName(QStringLiteral("closeButton"));
    if (button->text().isEmpty()) button->setText(QObject::tr("Close"));
    // A fingertip is about 10 mm: 48 pixels on a common touch screen.
    button->setMinimumSize(std::max(button->minimumWidth(), 48), std::max(button->minimumHeight(), 48));
    button->setFocusPolicy(Qt::NoFocus);
    QObject::connect(button, &QAbstractButton::clicked, window, [window] { window->close(); });
    new CloseButtonWatch(window, button);
}

}  // namespace CloseControls
