#include "booth/MainWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

#include "preferences/Preferences.h"
#include <QStackedLayout>
#include <QUrl>

#include "booth/HomeScreenTabItem.h"
#include "booth/SessionScreenTabItem.h"
#include "booth/SharingScreenTabItem.h"
#include "core/OperatorNotice.h"
#include "core/WrenUtils.h"

MainContentView::MainContentView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MainContentView"));
    setAcceptDrops(true);
}

void MainContentView::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainContentView::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    event->acceptProposedAction();
    if (delegate_ && !paths.isEmpty()) delegate_->contentViewDidReceiveDroppedFiles(paths);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Flashwren"));
    content_ = new MainContentView(this);
    stack_ = new QStackedLayout(content_);
    home_ = new HomeScreenTabItem(content_);
    session_ = new SessionScreenTabItem(content_);
    sharing_ = new SharingScreenTabItem(content_);
    stack_->addWidget(home_);
    stack_->addWidget(session_);
    stack_->addWidget(sharing_);
    setCentralWidget(content_);
    // The booth's own size, where the screen has room for it, in the middle.
    resize(1280, 800);
    WrenUtils::centreWindowOnScreen(this);

    // The operator's standing notices, over the bottom of whatever screen shows.
    notice_ = new QLabel(this);
    notice_->setObjectName(QStringLiteral("OperatorNotice"));
    notice_->setWordWrap(true);
    notice_->setAlignment(Qt::AlignCenter);
    notice_->setStyleSheet(QStringLiteral("background: rgba(160, 20, 20, 220); color: white; padding: 8px;"));
    notice_->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(&OperatorNotice::shared(), &OperatorNotice::changed, this, &MainWindow::updateNotice,
            Qt::QueuedConnection);
    updateNotice();

    auto* fullScreen = new QShortcut(QKeySequence(Qt::Key_F11), this);
    // One switch for each press: the key's repeats (held down, or a busy
    // machine slow to see it released) would switch back and forth, and a
    // switch to full screen takes the keyboard from a window shown since.
    fullScreen->setAutoRepeat(false);
    connect(fullScreen, &QShortcut::activated, this, &MainWindow::toggleFullScreen);
    // The operator's way into the settings; guests have no keyboard shortcut habits.
    auto* preferences = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(preferences, &QShortcut::activated, this, [] { Preferences::showPreferences(); });

    // Without a window manager nobody hands the keyboard on when the window
    // that has it closes (a share or log-in window, the preferences...), and
    // F11, Ctrl+Q and Space would stay dead until a guest taps the screen.
    qApp->installEventFilter(this);
}

namespace {

// A window of the booth's own that takes the keyboard: not a menu, tooltip
// or floating message.
bool takesKeys(const QWindow* window) {
    const Qt::WindowType type = window->type();
    return (type == Qt::Window || type == Qt::Dialog || type == Qt::Tool) &&
           !(window->flags() & Qt::WindowDoesNotAcceptFocus);
}

// A floating message (a progress line): raised over everything, never given the keys.
bool floats(const QWindow* window) {
    return window->type() == Qt::Tool && (window->flags() & Qt::WindowDoesNotAcceptFocus);
}

// The booth's windows as the X server stacks them, lowest first (as Qt
// lists them where the server cannot be asked).
QList<QWindow*> stackedLowestFirst(QList<QWindow*> windows) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* x = x11 ? x11->connection() : nullptr;
    if (!x) return windows;
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(x, xcb_query_tree(x, xcb_setup_roots_iterator(xcb_get_setup(x)).data->root), nullptr),
        &std::free);
    if (!tree) return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    auto place = [&](const QWindow* w) {
        return std::find(children, children + count, static_cast<xcb_window_t>(w->winId())) - children;
    };
    std::stable_sort(windows.begin(), windows.end(),
                     [&](const QWindow* a, const QWindow* b) { return place(a) < place(b); });
    return windows;
}

}  // namespace

QWindow* MainWindow::raiseOpenWindows() {
    QList<QWindow*> open;
    for (QWindow* window : QGuiApplication::topLevelWindows())
        if (window != windowHandle() && window->isVisible() && (takesKeys(window) || floats(window))) open << window;
    open = stackedLowestFirst(open);
    // In their order, each panel or dialog over the window it was opened
    // from (a window raised alone would cover its own panel), the floating
    // messages over all.
    QList<QWindow*> order;
    std::function<void(QWindow*)> add = [&](QWindow* window) {
        order << window;
        for (QWindow* child : open)
            if (child->transientParent() == window && !floats(child)) add(child);
    };
    for (QWindow* window : open)
        if (!floats(window) && !open.contains(window->transientParent())) add(window);
    for (QWindow* window : open)
        if (floats(window) || !order.contains(window)) order << window;
    QWindow* keys = nullptr;
    for (QWindow* window : order) {
        window->raise();
        if (takesKeys(window)) keys = window;
    }
    if (QWindow* modal = QGuiApplication::modalWindow(); modal && modal->isVisible()) keys = modal;
    return keys;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (isF11Repeat(event)) return true;
    QWindow* focus = QGuiApplication::focusWindow();
    if (event->type() == QEvent::Hide && watched->isWindowType() && watched != windowHandle() &&
        takesKeys(static_cast<QWindow*>(watched)) && (watched == focus || !focus || focus == windowHandle())) {
        // The platform may go on naming the hidden window as the one with
        // the keyboard, or name none only later, or still name this one
        // though a tap gave the keyboard to the window that closed: once
        // this closing is done, the keyboard comes back.
        auto* window = static_cast<QWindow*>(watched);
        QTimer::singleShot(0, this, [this, closed = QPointer<QWindow>(window),
                                     openedFrom = QPointer<QWindow>(window->transientParent())] {
            takeKeyboardBack(closed, openedFrom);
        });
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::isF11Repeat(QEvent* event) {
    if (event->type() != QEvent::KeyRelease && event->type() != QEvent::ShortcutOverride) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_F11) return false;
    // The X server repeats a held key as a release and a press of the same
    // moment. The toolkit tells them from a real press only when both have
    // arrived together, and on a busy machine the press may come later: the
    // moment tells it all the same.
    if (event->type() == QEvent::KeyRelease) {
        lastF11Release_ = key->timestamp();
        return false;
    }
    if (key->isAutoRepeat() || key->timestamp() != lastF11Release_ || lastF11Release_ == 0) return false;
    event->accept();  // the press is no shortcut
    return true;
}

void MainWindow::takeKeyboardBack(QWindow* closed, QWindow* openedFrom) {
    if (!isVisible() || isMinimized()) return;
    if (closed && closed->isVisible()) return;  // shown again
    // Another window has it already. Where Qt names this one, the X server
    // may not agree (the keyboard left with the closed window): asking again
    // costs nothing. Nor has a window that closed with this one (a window
    // closed under its open panel, which Qt names as the panel closes).
    if (QWindow* now = QGuiApplication::focusWindow();
        now && now != closed && now != windowHandle() && now->isVisible())
        return;
    // Back to the window the closed one was opened from, else to one still
    // open over this one (a dialog first), else here.
    QWindow* target = windowHandle();
    if (openedFrom && openedFrom->isVisible()) {
        target = openedFrom;
    } else if (QWindow* modal = QGuiApplication::modalWindow(); modal && modal->isVisible()) {
        target = modal;
    } else {
        for (QWindow* open : QGuiApplication::topLevelWindows())
            if (open != closed && open != windowHandle() && open->isVisible() && takesKeys(open)) target = open;
    }
    if (target) target->requestActivate();
}

void MainWindow::updateNotice() {
    const QStringList texts = OperatorNotice::shared().texts();
    notice_->setText(texts.join(QLatin1Char('\n')));
    notice_->setVisible(!texts.isEmpty());
    placeNotice();
}

void MainWindow::placeNotice() {
    if (notice_->isHidden()) return;
    const int height = notice_->heightForWidth(width());
    notice_->setGeometry(0, this->height() - height, width(), height);
    notice_->raise();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    placeNotice();
}

QString MainWindow::noticeText() const { return notice_->isHidden() ? QString() : notice_->text(); }

void MainWindow::selectScreen(QWidget* screen) {
    stack_->setCurrentWidget(screen);
    screen->setFocus();
}

QWidget* MainWindow::selectedScreen() const {
    return stack_->currentWidget();
}

void MainWindow::toggleFullScreen() {
    // A window manager does what the window asks; without one (as a kiosk
    // often runs) nobody does, so the window takes its screen itself and
    // gives it back.
    if (fullScreen_) {
        fullScreen_ = false;
        showNormal();
        if (normalGeometry_.isValid()) setGeometry(normalGeometry_);
        if (!isFullScreen()) emit fullScreenChanged(false);
    } else {
        fullScreen_ = true;
        normalGeometry_ = geometry();
        // As showFullScreen() without taking the keyboard: a switch seen
        // late (a key's repeat on a busy machine) must not take it from a
        // share window shown since.
        setWindowState((windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized)) | Qt::WindowFullScreen);
        show();
        if (QScreen* where = screen()) setGeometry(where->geometry());
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Without a window manager nobody gives a new window the keyboard, and
    // the window's own shortcuts (F11, the preferences) stay dead until a
    // guest first taps it. The platform asks once the window is mapped.
    if (!event->spontaneous()) activateWindow();
}

bool MainWindow::coversItsScreen() const { return screen() && geometry() == screen()->geometry(); }

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) {
        if (isFullScreen()) {
            fullScreen_ = true;
            emit fullScreenChanged(true);
        } else if (fullScreen_ && !coversItsScreen()) {
            // The window manager took it out of full screen.
            fullScreen_ = false;
            emit fullScreenChanged(false);
        }
        // Without a window manager the platform forgets the full-screen
        // state it was never granted, while the window still covers its
        // screen: it stays full screen.
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    emit windowWillClose();
    QMainWindow::closeEvent(event);
}
