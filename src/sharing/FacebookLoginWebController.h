#pragma once
// The Facebook log-in window: the OAuth dialog in a web view over the whole
// screen. The window shows when the dialog needs the guest, or when the page
// is slow to come, showing that it loads; a guest who is already logged in is
// redirected at once and never sees it.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <memory>
#include <optional>

#include "sharing/LoginWebView.h"
#include "sharing/ShareWindows.h"

class FacebookLogin;
class LoginWebView;
class QLabel;
class QPushButton;
class QTimer;
class FacebookLoginWebController;

class FacebookLoginWindow : public QWidget {
    Q_OBJECT
public:
    explicit FacebookLoginWindow(FacebookLoginWebController* controller);
    // Installs the content: translucent black, the main screen's frame less
    // 20 points at the top.
    void setContentView(QWidget* view);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    FacebookLoginWebController* controller_;
};

class FacebookLoginWebController : public QObject, public ShareWindowsContentViewDelegate {
    Q_OBJECT
public:
    FacebookLoginWebController();
    ~FacebookLoginWebController() override;

    void setParent(std::weak_ptr<FacebookLogin> parent) { parent_ = std::move(parent); }
    void setPermissions(const QString& permissions) { permissions_ = permissions; }

    // Opens the dialog in a new web view; the window shows once the dialog
    // needs the guest, or loading for now once the loading grace has passed.
    void loadFacebookLoginPage(const QString& url);
    // Long enough for the redirect of a guest already logged in; short
    // enough that a tap is answered before the guest taps again.
    static constexpr std::chrono::milliseconds kLoadingGrace{1000};
    static void setLoadingGrace(std::chrono::milliseconds grace);  // all log-ins from now on (tests)
    static std::chrono::milliseconds loadingGrace();
    void showUI();
    // The guest gave up: cleans up, tells the parent once, hides the window.
    void cancel();
    void performCleanup();

    // The text after the first "name=" (any case) up to the next "&".
    static std::optional<QString> extractParameter(const QString& name, const QString& url);
    // The page checks, on each committed and each finished address.
    void committedCheck(const QUrl& url);
    void finishedCheck(const QUrl& url);

    void emailWindowContentViewMouseDownReceived() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    FacebookLoginWindow* window() const { return window_; }
    LoginWebView* webView() const { return webView_; }
    bool isLoggingIn() const { return loggingIn_; }

private:
    // "www.facebook.com" + path, as the address is written without its scheme.
    static QString hostAndPath(const QString& path);
    static QString withoutScheme(const QString& url);
    QPointer<FacebookLoginWindow> window_;
    ShareWindowsContentView* content_ = nullptr;
    QWidget* wrapperView_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QLabel* loadingLabel_ = nullptr;
    QTimer* loadingTimer_ = nullptr;
    QPointer<LoginWebView> webView_;
    std::weak_ptr<FacebookLogin> parent_;
    QString permissions_;
    bool loggingIn_ = false;
};
