#include "sharing/ShareWindows.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputMethod>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyleHints>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <atomic>

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "core/PhotoSession.h"
#include "core/ProgressWindowController.h"
#include "core/SharingType.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/SocialSharingService.h"
#include "templates/TEUtils.h"

namespace {
// Longer entries are no address or number anyone types at a booth.
constexpr int kMaxEntryLength = 254;
constexpr double kMessageSeconds = 3.0;
std::atomic<long long> idleMilliseconds{IdleWindowWatch::kGuestIdleInterval.count()};
}  // namespace

// IdleWindowWatch -------------------------------------------------------------

IdleWindowWatch::IdleWindowWatch(QWidget* window, std::function<void()> closeIdle, QObject* parent)
    : QObject(parent), window_(window), timer_(new QTimer(this)), closeIdle_(std::move(closeIdle)) {
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] {
        if (window_ && window_->isVisible() && closeIdle_) closeIdle_();
    });
    // Presses and keys reach the window's children first, and the web view's
    // page is a child of a child: the application sees them all.
    if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

void IdleWindowWatch::setIdleInterval(std::chrono::milliseconds interval) { idleMilliseconds = interval.count(); }

std::chrono::milliseconds IdleWindowWatch::idleInterval() { return std::chrono::milliseconds(idleMilliseconds.load()); }

int IdleWindowWatch::remainingTime() const { return timer_->remainingTime(); }

bool IdleWindowWatch::isInWindow(QObject* receiver, QEvent::Type type) const {
    if (auto* widget = qobject_cast<QWidget*>(receiver)) return widget->window() == window_;
    if (auto* window = qobject_cast<QWindow*>(receiver)) return window == window_->windowHandle();
    // Keys and what the on-screen keyboard types go to the focused item,
    // which in a web view's page is no widget.
    return (type == QEvent::KeyPress || type == QEvent::InputMethod) && window_->isActiveWindow();
}

bool IdleWindowWatch::eventFilter(QObject* watched, QEvent* event) {
    if (!window_) return false;
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
        if (watched != window_) break;
        if (event->type() == QEvent::Show) timer_->start(idleInterval());
        else timer_->stop();
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::KeyPress:
    case QEvent::InputMethod:
        if (timer_->isActive() && isInWindow(watched, event->type())) timer_->start(idleInterval());
        break;
    default:
        break;
    }
    return false;
}

// GuestWindows ----------------------------------------------------------------

GuestWindows& GuestWindows::shared() {
    static auto* instance = new GuestWindows;
    return *instance;
}

GuestWindows::GuestWindows() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

void GuestWindows::add(QWidget* window) {
    std::erase_if(windows_, [](const QPointer<QWidget>& w) { return w.isNull(); });
    windows_.emplace_back(window);
    connect(window, &QObject::destroyed, this, [this](QObject* gone) {
        if (shown_.remove(gone)) emit windowClosed();
    });
}

bool GuestWindows::anyShown() const {
    return std::any_of(windows_.begin(), windows_.end(), [](const QPointer<QWidget>& w) { return w && w->isVisible(); });
}

bool GuestWindows::isGuestWindow(const QObject* window) const {
    return std::any_of(windows_.begin(), windows_.end(), [window](const QPointer<QWidget>& w) { return w == window; });
}

bool GuestWindows::tapsHeld(const QElapsedTimer& since) {
    return since.isValid() && since.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval();
}

void GuestWindows::forgetWhatGuestsCopied() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->ownsClipboard()) clipboard->clear(QClipboard::Clipboard);
    if (clipboard->ownsSelection()) clipboard->clear(QClipboard::Selection);
}

bool GuestWindows::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
        if (isGuestWindow(watched)) shown_.insert(watched);
        return false;
    case QEvent::Hide:
        // A window that never showed is told it hides when first hidden.
        if (shown_.remove(watched)) {
            if (tapsHeld(sinceGuestTap_)) sinceClosed_.start();  // a tap closed it
            emit windowClosed();
        }
        return false;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd: {
        if (!watched->isWidgetType()) return false;
        if (!isGuestWindow(static_cast<QWidget*>(watched)->window())) return tapsHeld(sinceClosed_);
        sinceGuestTap_.start();
        // A middle click pastes the selection, in a web page too: its widgets
        // hear of the click here before the page does.
        auto* mouse = dynamic_cast<QMouseEvent*>(event);
        return mouse && mouse->button() == Qt::MiddleButton;
    }
    default:
        return false;
    }
}

// ShareWindowsContentView -----------------------------------------------------

ShareWindowsContentView::ShareWindowsContentView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ShareWindowsContentView"));
}

void ShareWindowsContentView::mousePressEvent(QMouseEvent* event) {
    if (delegate_) delegate_->emailWindowContentViewMouseDownReceived();
    QWidget::mousePressEvent(event);
}

void ShareWindowsContentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 128));
}

// CustomNSTextField -----------------------------------------------------------

CustomNSTextField::CustomNSTextField(QWidget* parent) : QLineEdit(parent) {
    setObjectName(QStringLiteral("CustomNSTextField"));
    // Neither a right click nor a long press brings the standard menu.
    setContextMenuPolicy(Qt::PreventContextMenu);
}

void CustomNSTextField::forgetEntry() {
    // The next guest's paste would bring back what this guest copied; what
    // anyone else put on the clipboard stays.
    if (!copied_.isEmpty()) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard->text() == copied_) clipboard->clear();
        copied_.clear();
    }
    // Setting the text starts a new history; clearing it would be one more
    // step of the old one.
    setText(QString());
}

void CustomNSTextField::rememberCopy() { copied_ = QGuiApplication::clipboard()->text(); }

void CustomNSTextField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (extendedDelegate_) extendedDelegate_->textFieldDidBecomeFirstResponder(this);
}

void CustomNSTextField::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (extendedDelegate_) extendedDelegate_->textFieldDidResignFirstResponder(this);
}

bool CustomNSTextField::performKeyEquivalent(QKeyEvent* event) {
    if (event->type() != QEvent::KeyPress || !(event->modifiers() & Qt::ControlModifier)) return false;
    switch (event->key()) {
    case Qt::Key_A:
        selectAll();
        return true;
    case Qt::Key_Z:
        if (!isUndoAvailable()) return false;
        undo();
        return true;
    case Qt::Key_X:
        if (!hasSelectedText()) return false;
        cut();
        rememberCopy();
        return true;
    case Qt::Key_C:
        if (!hasSelectedText()) return false;
        copy();
        rememberCopy();
        return true;
    case Qt::Key_V:
        paste();
        return true;
    default:
        return false;
    }
}

void CustomNSTextField::keyPressEvent(QKeyEvent* event) {
    const bool control = event->modifiers() & Qt::ControlModifier;
    if (control) {
        switch (event->key()) {
        case Qt::Key_A:
        case Qt::Key_Z:
        case Qt::Key_X:
        case Qt::Key_C:
        case Qt::Key_V:
            // These shortcuts are the table above and nothing else.
            if (performKeyEquivalent(event)) event->accept();
            else event->ignore();
            return;
        default:
            break;
        }
    }
    QLineEdit::keyPressEvent(event);
    // Ctrl+Insert and Shift+Delete copy and cut too.
    if (event->matches(QKeySequence::Copy) || event->matches(QKeySequence::Cut)) rememberCopy();
}

// ShareWindowController -------------------------------------------------------

ShareWindowController::ShareWindowController(const QString& windowName, const QString& prompt,
                                             const QString& placeholder, const QString& sendTitle) {
    auto* window = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window->setObjectName(windowName);
    window->setAttribute(Qt::WA_TranslucentBackground);
    window_ = window;

    content_ = new ShareWindowsContentView(window);
    content_->setDelegate(this);
    auto* outer = new QVBoxLayout(window);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(content_);

    auto* panel = new QWidget(content_);
    panel->setObjectName(QStringLiteral("SharePanel"));
    // Sized for fingers on a touch screen.
    panel->setStyleSheet(QStringLiteral("#SharePanel { background: white; border-radius: 12px; }"
                                        "QPushButton { font-size: 22px; padding: 10px 28px; }"));
    panel->setMaximumWidth(640);
    auto* label = new QLabel(prompt, panel);
    label->setObjectName(QStringLiteral("PromptLabel"));
    QFont big = label->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    label->setFont(big);
    field_ = new CustomNSTextField(panel);
    field_->setPlaceholderText(placeholder);
    field_->setFont(big);
    field_->setMaxLength(kMaxEntryLength);
    field_->setExtendedDelegate(this);
    sendButton_ = new QPushButton(sendTitle, panel);
    sendButton_->setObjectName(QStringLiteral("SendButton"));
    sendButton_->setDefault(true);
    closeButton_ = new QPushButton(QStringLiteral("Close"), panel);
    closeButton_->setObjectName(QStringLiteral("CloseButton"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(closeButton_);
    buttons->addWidget(sendButton_);
    auto* inner = new QVBoxLayout(panel);
    inner->setContentsMargins(32, 32, 32, 32);
    inner->addWidget(label);
    inner->addWidget(field_);
    inner->addLayout(buttons);

    auto* center = new QVBoxLayout(content_);
    center->addStretch();
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(panel, 1);
    row->addStretch();
    center->addLayout(row);
    center->addStretch();

    connect(sendButton_, &QPushButton::clicked, this, [this] { send(); });
    connect(field_, &QLineEdit::returnPressed, this, [this] { send(); });
    connect(closeButton_, &QPushButton::clicked, this, [this] { closeWindow(); });
    keepAboveKeyboard(window_, center);
    new IdleWindowWatch(window_, [this] { closeIdleWindow(); }, this);
    GuestWindows::shared().add(window_);
}

void keepAboveKeyboard(QWidget* window, QLayout* layout) {
    // The on-screen keyboard covers the bottom of the screen: what the layout
    // centres moves into what stays in sight, so fields and buttons stay usable.
    auto update = [window, layout] {
        QInputMethod* im = QGuiApplication::inputMethod();
        int covered = 0;
        if (window->isVisible() && im->isVisible()) {
            const QRectF keyboard = im->keyboardRectangle();
            if (!keyboard.isEmpty()) covered = std::max(0, window->height() - int(keyboard.top()));
        }
        // On a wide screen the keyboard takes more than half the height.
        layout->setContentsMargins(0, 0, 0, std::min(covered, window->height()));
    };
    QInputMethod* im = QGuiApplication::inputMethod();
    QObject::connect(im, &QInputMethod::keyboardRectangleChanged, window, update);
    QObject::connect(im, &QInputMethod::visibleChanged, window, update);
}

ShareWindowController::~ShareWindowController() {
    if (window_) delete window_.data();
}

void ShareWindowController::showWindow() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = screen->geometry();
        frame.setHeight(frame.height() - 20);
        window_->setGeometry(frame);
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (focusFieldOnShow_) field_->setFocus(Qt::OtherFocusReason);
    WrenUtils::showHideVirtualKeyboard(UserDefaults::standard().boolean("SHOW_VIRTUAL_KEYBOARD"));
}

void ShareWindowController::closeWindow() {
    window_->hide();
    willClose();
    if (delegate_) delegate_->sharingDidFailedFor(serviceName(), QString());
}

void ShareWindowController::closeIdleWindow() {
    spdlog::info("ShareWindows: closing the {} window, untouched for {} s", serviceName().toStdString(),
                 IdleWindowWatch::idleInterval().count() / 1000.0);
    closeForNextGuest();
}

void ShareWindowController::closeForNextGuest() {
    field_->forgetEntry();
    if (window_->isVisible()) closeWindow();
}

void ShareWindowController::emailWindowContentViewMouseDownReceived() {
    field_->setFocus(Qt::MouseFocusReason);
    field_->deselect();
    field_->setCursorPosition(field_->text().size());
}

void ShareWindowController::textFieldDidBecomeFirstResponder(CustomNSTextField*) {
    WrenUtils::showHideVirtualKeyboard(UserDefaults::standard().boolean("SHOW_VIRTUAL_KEYBOARD"));
}

void ShareWindowController::textFieldDidResignFirstResponder(CustomNSTextField*) {}

bool ShareWindowController::recordShare(int type, const QString& recipient, const QString& queuedMessage) {
    const QString path = pathOfImageToSend_.isLocalFile() ? pathOfImageToSend_.toLocalFile()
                                                          : pathOfImageToSend_.toString();
    // Stored off the interface thread: another program holding the database
    // would otherwise freeze the screen for the whole lock wait. A share the
    // database cannot take now is kept and sent once it is stored.
    SocialServiceHelper::recordPendingShare(
        SocialServiceHelper::shareOfType(type, 0, PhotoSession::session().printMediaID, path, recipient));
    field_->forgetEntry();
    if (delegate_) delegate_->sharingDidFinishedFor(serviceName(), queuedMessage);
    window_->hide();
    return true;
}

// ShareViaEmailWindowController -----------------------------------------------

ShareViaEmailWindowController::ShareViaEmailWindowController()
    : ShareWindowController(QStringLiteral("ShareViaEmailWindow"), QStringLiteral("Your e-mail address"),
                            QStringLiteral("name@example.com"), QStringLiteral("Send")) {
    field_->setObjectName(QStringLiteral("emailField"));
    focusFieldOnShow_ = true;
    field_->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
}

QString ShareViaEmailWindowController::validEmailAddress(const QString& text) {
    const QString address = text.trimmed();
    if (address.isEmpty() || address.size() > kMaxEntryLength) return {};
    // Top-level domains run from 2 to 63 letters (".photography" is one).
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Z0-9a-z._%+-]+@([A-Za-z0-9-]+\\.)+[A-Za-z]{2,63}")));
    return pattern.match(address).hasMatch() ? address : QString();
}

void ShareViaEmailWindowController::userDidPressToSendEmail() {
    const QString address = validEmailAddress(field_->text());
    if (address.isEmpty()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Invalid Email Address"), kMessageSeconds);
        return;
    }
    recordShare(SharingTypeEmail, address, QStringLiteral("E-mail queued"));
}

void ShareViaEmailWindowController::willClose() {
    base::NotificationCenter::defaultCenter().post(kFinishSendingEmailNotification);
}

// ShareViaSMSWindowController -------------------------------------------------

ShareViaSMSWindowController::ShareViaSMSWindowController()
    : ShareWindowController(QStringLiteral("ShareViaSMSWindow"), QStringLiteral("Your mobile number"),
                            QStringLiteral("Digits only"), QStringLiteral("Send")) {
    field_->setObjectName(QStringLiteral("mobileNumberField"));
    field_->setInputMethodHints(Qt::ImhDigitsOnly);
}

void ShareViaSMSWindowController::userDidPressToSendSMS() {
    const QString number = field_->text().trimmed();
    if (!WrenUtils::isValidPhoneNumber(number)) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Invalid Mobile Number"), kMessageSeconds);
        return;
    }
    QVariant code = TEUtils::getUserSettingForKey(QStringLiteral("TWILIO_COUNTRY_CODE"));
    const QString recipient = QStringLiteral("+%1%2").arg(code.isValid() ? code.toString() : QString(), number);
    recordShare(SharingTypeSMS, recipient, QStringLiteral("SMS queued"));
}
