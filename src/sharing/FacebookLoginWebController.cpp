#include "sharing/FacebookLoginWebController.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>

#include <spdlog/spdlog.h>

#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/FacebookLogin.h"
#include "sharing/LoginWebView.h"

namespace {
std::atomic<long long> loadingGraceMs{FacebookLoginWebController::kLoadingGrace.count()};
}  // namespace

FacebookLoginWindow::FacebookLoginWindow(FacebookLoginWebController* controller)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), controller_(controller) {
    setObjectName(QStringLiteral("FacebookLoginWindow"));
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("Log in to Facebook"));
}

void FacebookLoginWindow::setContentView(QWidget* view) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = screen->geometry();
        frame.setHeight(frame.height() - 20);
        setGeometry(frame);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    update();
}

void FacebookLoginWindow::closeEvent(QCloseEvent* event) {
    spdlog::debug("FacebookLoginWebController: windowWillClose - ");
    if (controller_ && controller_->isLoggingIn()) controller_->cancel();
    event->accept();
}

void FacebookLoginWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

FacebookLoginWebController::FacebookLoginWebController() {
    window_ = new FacebookLoginWindow(this);
    content_ = new ShareWindowsContentView(window_);
    content_->setDelegate(this);

    auto* panel = new QWidget(content_);
    panel->setObjectName(QStringLiteral("FacebookLoginPanel"));
    panel->setStyleSheet(QStringLiteral("#FacebookLoginPanel { background: white; border-radius: 12px; }"));
    // Wide enough for the dialog; low enough to fit, Cancel and all, above
    // the on-screen keyboard, which takes more than half of a wide screen.
    panel->setMinimumSize(640, 240);
    panel->setMaximumSize(900, 760);
    wrapperView_ = new QWidget(panel);
    wrapperView_->setObjectName(QStringLiteral("wrapperView"));
    loadingLabel_ = layOutWebArea(wrapperView_, QStringLiteral("Loading Facebook..."));
    loadingLabel_->hide();
    // The guest's wait has its end from the tap: once the window shows, the
    // idle wait runs, loaded or not, and the guest can cancel.
    loadingTimer_ = new QTimer(this);
    loadingTimer_->setSingleShot(true);
    connect(loadingTimer_, &QTimer::timeout, this, [this] {
        if (loggingIn_) showUI();
    });
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), panel);
    cancelButton_->setObjectName(QStringLiteral("cancelButton"));
    connect(cancelButton_, &QPushButton::clicked, this, [this] {
        if (loggingIn_) cancel();
    });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton_);
    keepAboveKeyboard(window_, layOutLoginPanel(content_, panel, wrapperView_, buttons));
    // The page is laid out for the whole web area: once the keyboard takes
    // part of it, the field the guest types into is brought into sight.
    wrapperView_->installEventFilter(this);
    window_->setContentView(content_);
    new IdleWindowWatch(window_, [this] {
        spdlog::info("FacebookLoginWebController: closing the log-in window, untouched for {} s",
                     IdleWindowWatch::idleInterval().count() / 1000.0);
        if (loggingIn_) cancel();
        else if (window_) window_->hide();
    }, this);
    GuestWindows::shared().add(window_);
}

FacebookLoginWebController::~FacebookLoginWebController() {
    performCleanup();
    delete window_;
}

void FacebookLoginWebController::setLoadingGrace(std::chrono::milliseconds grace) {
    loadingGraceMs = grace.count();
}

std::chrono::milliseconds FacebookLoginWebController::loadingGrace() {
    return std::chrono::milliseconds(loadingGraceMs.load());
}

void FacebookLoginWebController::loadFacebookLoginPage(const QString& url) {
    performCleanup();
    loggingIn_ = true;
    loadingTimer_->start(loadingGrace());
    webView_ = new LoginWebView(wrapperView_);
    loadingLabel_->show();
    loadingLabel_->raise();
    connect(webView_, &LoginWebView::urlCommitted, this, &FacebookLoginWebController::committedCheck);
    connect(webView_, &LoginWebView::loadFinished, this,
            [this](const QUrl& address, bool) { finishedCheck(address); });
    webView_->load(QUrl(url));
}

void FacebookLoginWebController::showUI() {
    if (!window_ || !loggingIn_) return;
    const bool wasVisible = window_->isVisible();
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (wasVisible) return;
    if (auto parent = parent_.lock()) parent->webViewWillShowUI();
}

void FacebookLoginWebController::cancel() {
    if (!loggingIn_) return;
    loggingIn_ = false;
    performCleanup();
    if (auto parent = parent_.lock()) parent->didDismissUI();
    if (window_) window_->hide();
}

void FacebookLoginWebController::performCleanup() {
    if (loadingTimer_) loadingTimer_->stop();
    if (webView_) {
        LoginWebView* view = webView_;
        webView_ = nullptr;
        view->disconnect(this);
        view->cleanup();
        view->deleteLater();
    }
}

std::optional<QString> FacebookLoginWebController::extractParameter(const QString& name, const QString& url) {
    const qsizetype at = url.indexOf(name, 0, Qt::CaseInsensitive);
    if (at < 0) return std::nullopt;
    const qsizetype start = at + name.size();
    const qsizetype end = url.indexOf('&', start);
    return url.mid(start, end < 0 ? -1 : end - start);
}

QString FacebookLoginWebController::withoutScheme(const QString& url) {
    if (url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) return url.mid(8);
    if (url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) return url.mid(7);
    return url;
}

QString FacebookLoginWebController::hostAndPath(const QString& path) {
    QString web = withoutScheme(FacebookLogin::webBaseURL());
    while (web.endsWith('/')) web.chop(1);
    return web + path;
}

void FacebookLoginWebController::committedCheck(const QUrl& url) {
    if (!loggingIn_) return;
    if (withoutScheme(url.toString(QUrl::FullyEncoded)).startsWith(hostAndPath("/connect/uiserver.php"),
                                                                    Qt::CaseInsensitive))
        showUI();
}

void FacebookLoginWebController::finishedCheck(const QUrl& url) {
    if (!loggingIn_) return;
    const QString address = url.toString(QUrl::FullyEncoded);
    if (!withoutScheme(address).startsWith(hostAndPath("/connect/login_success.html"), Qt::CaseInsensitive)) {
        spdlog::info("FacebookLoginWebController: There's no access token so let's get it...");
        loadingLabel_->hide();
        showUI();
        return;
    }
    const QString token = extractParameter(QStringLiteral("access_token="), address).value_or(QString());
    bool numeric = false;
    qint64 expires = extractParameter(QStringLiteral("expires_in="), address).value_or(QString()).toLongLong(&numeric);
    if (!numeric) expires = 0;
    const QString error = extractParameter(QStringLiteral("error_description="), address).value_or(QString());
    loggingIn_ = false;
    performCleanup();
    if (window_) window_->hide();
    if (auto parent = parent_.lock()) parent->setAccessToken(token, expires, permissions_, error);
}

bool FacebookLoginWebController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == wrapperView_ && event->type() == QEvent::Resize && webView_) {
        // The page learns its new size a moment after the view: the field is
        // scrolled into sight now and again when the page has resized.
        webView_->evaluate(QStringLiteral(
            "(function () {"
            "  const keepInSight = function () {"
            "    const field = document.activeElement;"
            "    if (field && field !== document.body && field.scrollIntoView) field.scrollIntoView({block: 'nearest'});"
            "  };"
            "  if (!window.flashwrenKeepsFocusInSight) {"
            "    window.flashwrenKeepsFocusInSight = true;"
            "    window.addEventListener('resize', keepInSight);"
            "  }"
            "  keepInSight();"
            "})()"), [](const QString&) {});
    }
    return QObject::eventFilter(watched, event);
}

void FacebookLoginWebController::emailWindowContentViewMouseDownReceived() {
    if (window_ && window_->focusWidget()) window_->focusWidget()->clearFocus();
    WrenUtils::showHideVirtualKeyboard(UserDefaults::standard().boolean("SHOW_VIRTUAL_KEYBOARD"));
}
