#include "sharing/TwitterLoginWindowController.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/LoginWebView.h"

TwitterLoginWindow::TwitterLoginWindow(TwitterLoginWindowController* controller)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), controller_(controller) {
    setObjectName(QStringLiteral("TwitterLoginWindow"));
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("Log in to Twitter"));
}

void TwitterLoginWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 178));
}

void TwitterLoginWindow::closeEvent(QCloseEvent* event) {
    if (controller_) controller_->closeMe();
    event->accept();
}

void TwitterLoginWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

TwitterLoginWindowController::TwitterLoginWindowController(TwitterLoginWindowControllerDelegate* delegate,
                                                           QString pingURL)
    : delegate_(delegate), pingURL_(std::move(pingURL)) {
    window_ = new TwitterLoginWindow(this);
    content_ = new TwitterLoginWindowContentView(window_);
    content_->setDelegate(this);
    auto* outer = new QVBoxLayout(window_);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(content_);

    auto* panel = new QWidget(content_);
    panel->setObjectName(QStringLiteral("TwitterLoginPanel"));
    panel->setStyleSheet(QStringLiteral("#TwitterLoginPanel { background: white; border-radius: 12px; }"));
    // Wide enough for the authorise page; low enough to fit, PIN row and
    // all, above the on-screen keyboard.
    panel->setMinimumSize(640, 240);
    panel->setMaximumSize(900, 800);
    wrapperView_ = new QWidget(panel);
    wrapperView_->setObjectName(QStringLiteral("wrapperView"));
    loadingLabel_ = layOutWebArea(wrapperView_, QStringLiteral("Loading Twitter..."));
    auto* label = new QLabel(QStringLiteral("PIN"), panel);
    pinField_ = new CustomNSTextField(panel);
    pinField_->setObjectName(QStringLiteral("twitterPin"));
    pinField_->setPlaceholderText(QStringLiteral("Enter the PIN Twitter shows you"));
    pinField_->setMaxLength(32);
    pinField_->setInputMethodHints(Qt::ImhDigitsOnly);
    pinField_->setExtendedDelegate(this);
    shareButton_ = new QPushButton(QStringLiteral("Share"), panel);
    shareButton_->setObjectName(QStringLiteral("ShareButton"));
    shareButton_->setDefault(true);
    closeButton_ = new QPushButton(QStringLiteral("Close"), panel);
    closeButton_->setObjectName(QStringLiteral("CloseButton"));
    connect(shareButton_, &QPushButton::clicked, this, &TwitterLoginWindowController::userDidPressShareButton);
    connect(pinField_, &QLineEdit::returnPressed, this, &TwitterLoginWindowController::userDidPressShareButton);
    connect(closeButton_, &QPushButton::clicked, this, &TwitterLoginWindowController::closeMe);

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(pinField_, 1);
    row->addWidget(closeButton_);
    row->addWidget(shareButton_);
    keepAboveKeyboard(window_, layOutLoginPanel(content_, panel, wrapperView_, row));
    new IdleWindowWatch(window_, [this] {
        spdlog::info("TwitterLoginWindowController: closing the log-in window, untouched for {} s",
                     IdleWindowWatch::idleInterval().count() / 1000.0);
        pinField_->setText(QString());
        closeMe();
    }, this);
    GuestWindows::shared().add(window_);
}

TwitterLoginWindowController::~TwitterLoginWindowController() {
    closed_ = true;
    performCleanup();
    delete window_;
}

void TwitterLoginWindowController::windowDidLoad() {
    WrenUtils::clearHTTPCookiesAndCache();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = screen->geometry();
        frame.setHeight(frame.height() - 20);
        window_->setGeometry(frame);
    }
    performCleanup();
    webView_ = new LoginWebView(wrapperView_);
    connect(webView_, &LoginWebView::loadFinished, this, [this](const QUrl&, bool) {
        if (!webView_) return;
        loadingLabel_->hide();
        webView_->evaluate(QStringLiteral("document.documentElement.innerHTML"), [this](const QString& html) {
            if (html.isEmpty()) {
                spdlog::warn("TwitterLoginWindowController: Opps..html string is null..");
                return;
            }
            processWithTwitterPin(pinFromHTML(html));
        });
    });
    loadingLabel_->show();
    loadingLabel_->raise();
    // The page has the focus first: the keyboard comes when a field is tapped.
    webView_->view()->setFocus(Qt::OtherFocusReason);
    window_->show();
    window_->raise();
    window_->activateWindow();
    // A tap on a field of the page or on the PIN brings the keyboard up.
    showKeyboardBySetting();
    if (!pingURL_.isEmpty()) webView_->load(QUrl(pingURL_));
}

void TwitterLoginWindowController::loadAuthorisePage(const QString& url) {
    pingURL_ = url;
    if (webView_ && !closed_) webView_->load(QUrl(pingURL_));
}

QString TwitterLoginWindowController::pinFromHTML(const QString& html) {
    static const QRegularExpression code(QStringLiteral("<code>(\\d+)</code>"));
    auto match = code.match(html);
    return match.hasMatch() ? match.captured(1) : QString();
}

QString TwitterLoginWindowController::twitterPin() const { return pinField_->text().trimmed(); }

void TwitterLoginWindowController::processWithTwitterPin(const QString& pin) {
    if (pin.isEmpty() || closed_ || !window_ || !window_->isVisible()) return;
    pinField_->setText(pin);
    userDidPressShareButton();
    orderOut();
    performCleanup();
}

void TwitterLoginWindowController::userDidPressShareButton() {
    const QString pin = twitterPin();
    if (pin.isEmpty()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Twitter PIN is required."), 3.0);
        return;
    }
    if (delegate_) delegate_->didReceiveTwitterPIN(pin);
}

void TwitterLoginWindowController::closeMe() {
    if (closed_) return;
    closed_ = true;
    if (delegate_) delegate_->userDidCancelTwitterSharing();
    orderOut();
    performCleanup();
}

void TwitterLoginWindowController::orderOut() {
    closed_ = true;
    if (window_) window_->hide();
}

void TwitterLoginWindowController::performCleanup() {
    if (webView_) {
        LoginWebView* view = webView_;
        webView_ = nullptr;
        view->disconnect(this);
        view->cleanup();
        view->deleteLater();
    }
}

void TwitterLoginWindowController::emailWindowContentViewMouseDownReceived() {
    // The keyboard types into a field: a tap beside the page is for the PIN,
    // the one field of the window's own.
    pinField_->setFocus(Qt::MouseFocusReason);
    pinField_->deselect();
    pinField_->setCursorPosition(pinField_->text().size());
    showKeyboardBySetting();
}

void TwitterLoginWindowController::textFieldDidBecomeFirstResponder(CustomNSTextField*) { showKeyboardBySetting(); }

void TwitterLoginWindowController::showKeyboardBySetting() {
    WrenUtils::showHideVirtualKeyboard(UserDefaults::standard().boolean("SHOW_VIRTUAL_KEYBOARD"));
}
