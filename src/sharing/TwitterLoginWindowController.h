#pragma once
// The Twitter PIN log-in window: Twitter's authorise page in a web view over
// the whole screen, with a field for the PIN. A PIN shown on the page is taken
// at once; otherwise the guest types it and presses Share.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "sharing/ShareWindows.h"

#include "sharing/LoginWebView.h"
class QLabel;
class QPushButton;
class TwitterLoginWindowController;

class TwitterLoginWindowControllerDelegate {
public:
    virtual ~TwitterLoginWindowControllerDelegate() = default;
    // True when the PIN was taken.
    virtual bool didReceiveTwitterPIN(const QString& pin) = 0;
    virtual void userDidCancelTwitterSharing() = 0;
};

class TwitterLoginWindow : public QWidget {
    Q_OBJECT
public:
    explicit TwitterLoginWindow(TwitterLoginWindowController* controller);

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    TwitterLoginWindowController* controller_;
};

// The content view draws nothing itself: the window's translucent black shows.
class TwitterLoginWindowContentView : public ShareWindowsContentView {
    Q_OBJECT
public:
    using ShareWindowsContentView::ShareWindowsContentView;

protected:
    void paintEvent(QPaintEvent*) override {}
};

class TwitterLoginWindowController : public QObject,
                                     public ShareWindowsContentViewDelegate,
                                     public CustomNSTextFieldDelegate {
    Q_OBJECT
public:
    TwitterLoginWindowController(TwitterLoginWindowControllerDelegate* delegate, QString pingURL);
    ~TwitterLoginWindowController() override;

    // Clears cookies and caches, lays the window over the screen, shows it and
    // loads the authorise page; without one yet, the window shows that it
    // loads (and its idle wait runs) until loadAuthorisePage.
    void windowDidLoad();
    void loadAuthorisePage(const QString& url);
    // A PIN found on a page: used only while the window is visible.
    void processWithTwitterPin(const QString& pin);
    // The Share button: the typed (or scraped) PIN goes to the delegate.
    void userDidPressShareButton();
    // The Close button and the window's own close: the guest gave up.
    void closeMe();
    // Hides the window without telling the delegate anything.
    void orderOut();
    void performCleanup();
    // A tap on the window's background: the PIN field takes the focus and the
    // on-screen keyboard shows or hides as SHOW_VIRTUAL_KEYBOARD says.
    void emailWindowContentViewMouseDownReceived() override;
    void textFieldDidBecomeFirstResponder(CustomNSTextField* field) override;
    void textFieldDidResignFirstResponder(CustomNSTextField*) override {}

    // The digits of the first <code>…</code> of a page, or "".
    static QString pinFromHTML(const QString& html);

    QWidget* window() const { return window_; }
    CustomNSTextField* pinField() const { return pinField_; }
    QString twitterPin() const;
    LoginWebView* webView() const { return webView_; }

private:
    void showKeyboardBySetting();
    TwitterLoginWindowControllerDelegate* delegate_;
    QString pingURL_;
    QPointer<TwitterLoginWindow> window_;
    TwitterLoginWindowContentView* content_ = nullptr;
    QWidget* wrapperView_ = nullptr;
    CustomNSTextField* pinField_ = nullptr;
    QLabel* loadingLabel_ = nullptr;
    QPushButton* shareButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QPointer<LoginWebView> webView_;
    bool closed_ = false;
};
