#include "preferences/WRENPreferencesWindowController.h"
#include "core/WrenUtils.h"
#include <nlohmann/json.hpp>

#include <QHBoxLayout>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>
#include <QWidgetAction>

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>

#include <algorithm>

#include <spdlog/spdlog.h>

#include "base/AppInfo.h"
#include "base/NotificationCenter.h"
#include "core/CloseControls.h"
#include "core/UserDefaults.h"

namespace {
const char* kSelectedKey = "WRENPreferences Selected Identifier View";
const char* kTopLeftKey = "WRENPreferences Frame Top Left";
QString sizeKey(const QString& identifier) { return QStringLiteral("WRENPreferences %1 Frame").arg(identifier); }
const char* kDidChange = "WRENPreferencesWindowControllerDidChangeViewNotification";
const char* kDidClose = "WRENPreferencesWindowControllerDidCloseNotification";

QString readString(const char* key) {
    return QString::fromStdString(UserDefaults::standard().string(key));
}

// A cross drawn as the panes' toolbar images are: dark strokes on nothing.
QIcon closeIcon(QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x33, 0x33, 0x33), size.width() / 10.0, Qt::SolidLine, Qt::RoundCap));
    const QRectF box = QRectF(pixmap.rect()).adjusted(size.width() * 0.25, size.height() * 0.25,
                                                      -size.width() * 0.25, -size.height() * 0.25);
    painter.drawLine(box.topLeft(), box.bottomRight());
    painter.drawLine(box.topRight(), box.bottomLeft());
    return QIcon(pixmap);
}
}  // namespace

QIcon preferencesImageNamed(const QString& name) {
    QString path = QString::fromStdString(base::AppInfo::shared().resourcesDir()) + "/Images/" + name + ".png";
    if (QFile::exists(path)) return QIcon(path);
    return QIcon();
}

WRENPreferencesWindowController::WRENPreferencesWindowController(
    std::vector<WRENPreferencesViewController*> viewControllers, const QString& title)
    : controllers_(std::move(viewControllers)), title_(title) {
    window_ = new QMainWindow();
    window_->setObjectName("WRENPreferencesWindow");
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    toolbar_ = new QToolBar(window_);
    toolbar_->setObjectName("toolbar");
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolbar_->setIconSize(QSize(32, 32));
    window_->addToolBar(Qt::TopToolBarArea, toolbar_);
    window_->setCentralWidget(new QWidget());
    window_->installEventFilter(this);
    // The desktop's usual keys for the next and the previous tab. Ctrl+Shift+Tab
    // arrives as Backtab from most keyboards, as Tab with Shift from some.
    auto* next = new QAction(window_);
    next->setObjectName("goNextTab");
    next->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)});
    connect(next, &QAction::triggered, this, &WRENPreferencesWindowController::goNextTab);
    window_->addAction(next);
    auto* previous = new QAction(window_);
    previous->setObjectName("goPreviousTab");
    previous->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageUp)});
    connect(previous, &QAction::triggered, this, &WRENPreferencesWindowController::goPreviousTab);
    window_->addAction(previous);
    // Where no window manager draws a title bar the window needs its own
    // ways to close: the close keys, and a button at the toolbar's end.
    CloseControls::addCloseKeys(window_);
    // It looks like the panes' buttons, and as those leave room for it on
    // the narrowest pane, it takes no more.
    auto* closeArea = new QWidget(toolbar_);
    auto* closeLayout = new QHBoxLayout(closeArea);
    closeLayout->setContentsMargins(0, 0, 0, 0);
    auto* close = new QToolButton(closeArea);
    close->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    close->setIconSize(toolbar_->iconSize());
    close->setIcon(closeIcon(toolbar_->iconSize()));
    close->setAutoRaise(true);
    CloseControls::makeCloseButton(close, window_);
    closeLayout->addWidget(close);
    // The toolbar gives the area back (hidden, without parent) each time it
    // is cleared; the action keeps it.
    closeAction_ = new QWidgetAction(window_);
    closeAction_->setDefaultWidget(closeArea);
    rebuildToolbar();
    windowDidLoad();
}

WRENPreferencesWindowController::~WRENPreferencesWindowController() {
    if (window_) {
        window_->removeEventFilter(this);
        // Pane views belong to their panes, not to the window.
        if (selected_ && window_->centralWidget() == selected_->view()) window_->takeCentralWidget();
        delete window_;
    }
}

void WRENPreferencesWindowController::rebuildToolbar() {
    toolbar_->clear();
    delete group_;
    group_ = new QActionGroup(this);
    group_->setExclusive(true);
    for (auto* c : controllers_) {
        if (!c) {
            auto* spacer = new QWidget(toolbar_);
            spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
            toolbar_->addWidget(spacer);
            continue;
        }
        auto* action = toolbar_->addAction(c->toolbarItemImage(), c->toolbarItemLabel());
        action->setCheckable(true);
        action->setData(c->identifier());
        action->setObjectName(c->identifier());
        group_->addAction(action);
        connect(action, &QAction::triggered, this, [this, id = c->identifier()] {
            // The toolbar item's action: select the pane with that identifier.
            if (!id.isEmpty()) setSelectedViewController(viewControllerForIdentifier(id));
        });
    }
    auto* spacer = new QWidget(toolbar_);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar_->addWidget(spacer);
    toolbar_->addAction(closeAction_);
    if (selected_) checkToolbarItem(selected_->identifier());
}

void WRENPreferencesWindowController::addViewController(WRENPreferencesViewController* controller) {
    controllers_.push_back(controller);
    rebuildToolbar();
}

QStringList WRENPreferencesWindowController::toolbarItemIdentifiers() const {
    QStringList ids;
    for (auto* c : controllers_) ids << (c ? c->identifier() : QStringLiteral("NSToolbarFlexibleSpaceItem"));
    return ids;
}

int WRENPreferencesWindowController::indexOfSelectedController() const {
    if (!selected_) return -1;
    return static_cast<int>(toolbarItemIdentifiers().indexOf(selected_->identifier()));
}

WRENPreferencesViewController* WRENPreferencesWindowController::viewControllerForIdentifier(const QString& id) const {
    for (auto* c : controllers_)
        if (c && c->identifier() == id) return c;
    return nullptr;
}

WRENPreferencesViewController* WRENPreferencesWindowController::firstViewController() const {
    for (auto* c : controllers_)
        if (c) return c;
    return nullptr;
}

void WRENPreferencesWindowController::windowDidLoad() {
    if (!title_.isEmpty()) window_->setWindowTitle(title_);
    if (!controllers_.empty()) {
        auto* c = viewControllerForIdentifier(readString(kSelectedKey));
        setSelectedViewController(c ? c : firstViewController());
    }
    if (auto p = pointFromString(readString(kTopLeftKey))) {
        // The stored place may lie on a monitor that is gone, or have been
        // edited by hand: the window opens where it can be reached.
        QList<QRect> areas;
        for (auto* screen : QGuiApplication::screens()) areas << screen->availableGeometry();
        settingFrame_ = true;
        window_->move(clampedTopLeft(*p, window_->frameGeometry().size(), areas));
        settingFrame_ = false;
    } else {
        // Where the operator has not put it yet: the middle of the screen.
        settingFrame_ = true;
        WrenUtils::centreWindowOnScreen(window_);
        settingFrame_ = false;
    }
}

void WRENPreferencesWindowController::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (selected_) selected_->perfWindowDidOpended();
}

void WRENPreferencesWindowController::selectControllerAtIndex(std::size_t index) {
    if (index < controllers_.size()) setSelectedViewController(controllers_[index]);
}

void WRENPreferencesWindowController::goNextTab() {
    if (controllers_.empty()) return;
    std::size_t n = controllers_.size();
    int start = indexOfSelectedController();
    std::size_t i = start < 0 ? n - 1 : static_cast<std::size_t>(start);
    for (std::size_t step = 0; step < n; ++step) {
        i = (i + 1) % n;
        if (controllers_[i]) return setSelectedViewController(controllers_[i]);
    }
}

void WRENPreferencesWindowController::goPreviousTab() {
    if (controllers_.empty()) return;
    std::size_t n = controllers_.size();
    int start = indexOfSelectedController();
    std::size_t i = start < 0 ? 0 : static_cast<std::size_t>(start);
    for (std::size_t step = 0; step < n; ++step) {
        i = (i + n - 1) % n;
        if (controllers_[i]) return setSelectedViewController(controllers_[i]);
    }
}

void WRENPreferencesWindowController::checkToolbarItem(const QString& identifier) {
    for (auto* a : group_->actions()) a->setChecked(a->data().toString() == identifier);
}

bool WRENPreferencesWindowController::resizableIn(WRENPreferencesViewController* c, bool width) const {
    auto answer = width ? c->hasResizableWidth() : c->hasResizableHeight();
    if (answer) return *answer;
    int mask = c->autoresizingMask();
    return width ? (mask & WRENPreferencesViewController::kWidthSizable) != 0
                 : (mask & WRENPreferencesViewController::kHeightSizable) != 0;
}

void WRENPreferencesWindowController::setSelectedViewController(WRENPreferencesViewController* p) {
    if (p == selected_) return;
    if (selected_) {
        auto* c = selected_;
        if (!c->commitEditing()) {
            checkToolbarItem(c->identifier());
            return;
        }
        c->viewWillDisappear();
        if (window_->centralWidget() == c->view()) window_->takeCentralWidget();
        window_->setCentralWidget(new QWidget());
        c->viewDidDisappear();
        selected_ = nullptr;
    }
    if (!p) return;
    if (title_.isEmpty()) window_->setWindowTitle(p->toolbarItemLabel());
    checkToolbarItem(p->identifier());
    UserDefaults::standard().set(kSelectedKey, p->identifier().toStdString());

    QWidget* v = p->view();
    QRect bounds(QPoint(0, 0), v->size().isValid() && !v->size().isEmpty() ? v->size() : v->sizeHint());
    if (!minimumViewRects_.count(p->identifier())) minimumViewRects_[p->identifier()] = bounds;
    QString stored = readString(sizeKey(p->identifier()).toUtf8().constData());
    bool widthResizable = resizableIn(p, true), heightResizable = resizableIn(p, false);
    QRect r = stored.isEmpty() ? bounds : rectFromString(stored);
    QRect m = minimumViewRects_[p->identifier()];
    if (!(widthResizable && r.width() >= m.width())) r.setWidth(m.width());
    if (!(heightResizable && r.height() >= m.height())) r.setHeight(m.height());
    v->resize(r.size());

    int toolbarHeight = toolbar_->sizeHint().height();
    QRect frame = window_->geometry();
    QRect newFrame(frame.left(), frame.top(), r.width(), r.height() + toolbarHeight);  // keeps the top edge
    window_->setMinimumSize(m.width(), m.height() + toolbarHeight);
    window_->setMaximumSize(widthResizable ? QWIDGETSIZE_MAX : r.width(),
                            heightResizable ? QWIDGETSIZE_MAX : r.height() + toolbarHeight);
    resizable_ = widthResizable || heightResizable;
    window_->statusBar()->setSizeGripEnabled(resizable_);
    window_->statusBar()->setVisible(resizable_);
    window_->setWindowFlag(Qt::WindowMaximizeButtonHint, resizable_);

    settingFrame_ = true;
    if (window_->isVisible()) {
        auto* anim = new QPropertyAnimation(window_, "geometry", window_);
        anim->setDuration(150);
        anim->setStartValue(frame);
        anim->setEndValue(newFrame);
        anim->start(QAbstractAnimation::DeleteWhenStopped);
    } else {
        window_->setGeometry(newFrame);
    }
    settingFrame_ = false;

    selected_ = p;
    p->viewWillAppear();
    window_->setCentralWidget(v);
    v->show();
    if (window_->isActiveWindow() && !window_->focusWidget()) {
        if (auto* k = p->initialKeyView()) k->setFocus();
        else if (auto* next = v->nextInFocusChain()) next->setFocus();
    }
    base::NotificationCenter::defaultCenter().post(kDidChange, this);
    emit didChangeView();
}

bool WRENPreferencesWindowController::windowShouldClose() {
    base::NotificationCenter::defaultCenter().post(kDidClose, this);
    return selected_ ? selected_->commitEditing() : true;
}

void WRENPreferencesWindowController::windowDidMove() {
    if (settingFrame_) return;
    QRect f = window_->frameGeometry();
    UserDefaults::standard().set(kTopLeftKey, stringFromPoint(f.topLeft()).toStdString());
}

void WRENPreferencesWindowController::windowDidResize() {
    if (!selected_) return;
    QRect b(QPoint(0, 0), selected_->view()->size());
    UserDefaults::standard().set(sizeKey(selected_->identifier()).toStdString(), stringFromRect(b).toStdString());
}

bool WRENPreferencesWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        switch (event->type()) {
        case QEvent::Move:
            if (window_->isVisible()) windowDidMove();
            break;
        case QEvent::Resize:
            if (window_->isVisible() && !settingFrame_) windowDidResize();
            break;
        case QEvent::Close:
            if (!windowShouldClose()) {
                event->ignore();
                return true;
            }
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

QString WRENPreferencesWindowController::stringFromRect(const QRect& r) {
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QRect WRENPreferencesWindowController::rectFromString(const QString& s) {
    static const QRegularExpression re(
        R"(^\s*\{\s*\{\s*(-?[\d.]+)\s*,\s*(-?[\d.]+)\s*\}\s*,\s*\{\s*(-?[\d.]+)\s*,\s*(-?[\d.]+)\s*\}\s*\}\s*$)");
    auto m = re.match(s);
    if (!m.hasMatch()) return QRect();
    return QRect(qRound(m.captured(1).toDouble()), qRound(m.captured(2).toDouble()), qRound(m.captured(3).toDouble()),
                 qRound(m.captured(4).toDouble()));
}

QString WRENPreferencesWindowController::stringFromPoint(const QPoint& p) {
    return QStringLiteral("{%1, %2}").arg(p.x()).arg(p.y());
}

std::optional<QPoint> WRENPreferencesWindowController::pointFromString(const QString& s) {
    static const QRegularExpression re(R"(^\s*\{\s*(-?[\d.]+)\s*,\s*(-?[\d.]+)\s*\}\s*$)");
    auto m = re.match(s);
    if (!m.hasMatch()) return std::nullopt;
    return QPoint(qRound(m.captured(1).toDouble()), qRound(m.captured(2).toDouble()));
}

QPoint WRENPreferencesWindowController::clampedTopLeft(QPoint topLeft, QSize size, const QList<QRect>& areas) {
    if (areas.isEmpty()) return topLeft;
    auto distance = [&](const QRect& r) {
        const int dx = std::max({r.left() - topLeft.x(), 0, topLeft.x() - r.right()});
        const int dy = std::max({r.top() - topLeft.y(), 0, topLeft.y() - r.bottom()});
        return static_cast<long long>(dx) * dx + static_cast<long long>(dy) * dy;
    };
    QRect area = areas.first();
    for (const QRect& r : areas)
        if (distance(r) < distance(area)) area = r;
    // A window larger than the area keeps its top-left corner (and so its
    // title and toolbar) on the screen.
    const int x = std::max(area.left(), std::min(topLeft.x(), area.left() + area.width() - size.width()));
    const int y = std::max(area.top(), std::min(topLeft.y(), area.top() + area.height() - size.height()));
    return {x, y};
}
