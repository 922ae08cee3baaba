#pragma once
// The e-mail and SMS share windows: a full-screen translucent window with one
// field. A valid entry is recorded as a pending share for the share queue;
// nothing is sent from the window itself.
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "sharing/FlashwrenSharingBase.h"

class QKeyEvent;
class QLayout;
class QPushButton;
class QTimer;
class CustomNSTextField;

// Closes a guest's window that nobody touches. The sharing screen waits while
// a share or log-in window is open, and guests often walk away from one: left
// open, it would hand the next guest the last one's address, number or
// log-in. A press, touch or key in the window or any of its children (a web
// view too) starts the wait again; hiding the window ends it.
class IdleWindowWatch : public QObject {
    Q_OBJECT
public:
    // `closeIdle` runs when `window` has shown that long without a touch.
    IdleWindowWatch(QWidget* window, std::function<void()> closeIdle, QObject* parent);
    // Long enough to type an address or log in slowly; short enough that
    // the next guest does not find the last one's window.
    static constexpr std::chrono::milliseconds kGuestIdleInterval{90'000};
    // How long windows wait, from the next show or touch on (all windows:
    // tests shorten it).
    static void setIdleInterval(std::chrono::milliseconds interval);
    static std::chrono::milliseconds idleInterval();
    // Milliseconds left before the window closes; -1 while it is not shown.
    int remainingTime() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool isInWindow(QObject* receiver, QEvent::Type type) const;
    QPointer<QWidget> window_;
    QTimer* timer_;
    std::function<void()> closeIdle_;
};

// The guests' windows (share and log-in windows) as a whole: whether one is
// open, and what the booth does for all of them. A middle click in one pastes
// nothing (the selection may hold an earlier guest's entry), and once one has
// closed, nothing beneath it takes a tap for the double-tap interval: the
// second tap of a double tap on Close or Cancel would land on the final
// screen and tap whatever lies there.
class GuestWindows : public QObject {
    Q_OBJECT
public:
    static GuestWindows& shared();
    void add(QWidget* window);
    bool anyShown() const;
    // Takes off the clipboard and out of the selection what the booth put
    // there (a guest's copy or selection, from any of their windows); what
    // another program put there stays.
    static void forgetWhatGuestsCopied();

signals:
    // A guest's window has hidden, or gone.
    void windowClosed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    GuestWindows();
    bool isGuestWindow(const QObject* window) const;
    // Whether less than the double-tap interval has passed.
    static bool tapsHeld(const QElapsedTimer& since);
    std::vector<QPointer<QWidget>> windows_;
    QSet<const QObject*> shown_;
    QElapsedTimer sinceGuestTap_;  // a press or release in a guest's window
    QElapsedTimer sinceClosed_;    // a guest's tap closed their window
};

class ShareWindowsContentViewDelegate {
public:
    virtual ~ShareWindowsContentViewDelegate() = default;
    virtual void emailWindowContentViewMouseDownReceived() = 0;
};

// The content view of the share windows (and of the Twitter log-in window):
// a click on its background is reported to the delegate.
class ShareWindowsContentView : public QWidget {
    Q_OBJECT
public:
    explicit ShareWindowsContentView(QWidget* parent = nullptr);
    void setDelegate(ShareWindowsContentViewDelegate* delegate) { delegate_ = delegate; }
    ShareWindowsContentViewDelegate* delegate() const { return delegate_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    ShareWindowsContentViewDelegate* delegate_ = nullptr;
};

class CustomNSTextFieldDelegate {
public:
    virtual ~CustomNSTextFieldDelegate() = default;
    virtual void textFieldDidBecomeFirstResponder(CustomNSTextField* field) = 0;
    virtual void textFieldDidResignFirstResponder(CustomNSTextField* field) = 0;
};

// A text field that tells its owner when it gains or loses the focus, with
// the editing shortcuts Ctrl+A, Z, X, C and V. Guests type their addresses,
// numbers and PINs into these fields: they offer no editing menu, where Undo
// would bring back an earlier guest's entry.
class CustomNSTextField : public QLineEdit {
    Q_OBJECT
public:
    explicit CustomNSTextField(QWidget* parent = nullptr);
    // Empties the field for the next guest, with its undo and redo history
    // and what was copied from it: no key brings back what was in it.
    // (QLineEdit::clear() keeps that history, and undoing it is a key away.)
    void forgetEntry();
    void setExtendedDelegate(CustomNSTextFieldDelegate* delegate) { extendedDelegate_ = delegate; }
    CustomNSTextFieldDelegate* extendedDelegate() const { return extendedDelegate_; }
    // True when the shortcut was handled.
    bool performKeyEquivalent(QKeyEvent* event);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void rememberCopy();
    CustomNSTextFieldDelegate* extendedDelegate_ = nullptr;
    QString copied_;  // what this field last put on the clipboard
};

// Keeps what `layout` (the layout of a full-screen window's content) centres
// above the on-screen keyboard while `window` and the keyboard show.
void keepAboveKeyboard(QWidget* window, QLayout* layout);

// What the two windows share.
class ShareWindowController : public QObject,
                              public ShareWindowsContentViewDelegate,
                              public CustomNSTextFieldDelegate {
    Q_OBJECT
public:
    ~ShareWindowController() override;
    QWidget* window() const { return window_; }
    CustomNSTextField* field() const { return field_; }
    void setDelegate(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) { delegate_ = std::move(delegate); }
    void setPathOfImageToSend(const QUrl& url) { pathOfImageToSend_ = url; }
    QUrl pathOfImageToSend() const { return pathOfImageToSend_; }

    // Raises the window over the booth, shows it, gives it the keyboard focus
    // and shows or hides the on-screen keyboard as SHOW_VIRTUAL_KEYBOARD says.
    void showWindow();
    void closeWindow();
    // The guest's session has ended: an open window closes as Close would,
    // and its entry goes, open or not.
    void closeForNextGuest();
    virtual void send() = 0;

    void emailWindowContentViewMouseDownReceived() override;
    void textFieldDidBecomeFirstResponder(CustomNSTextField* field) override;
    void textFieldDidResignFirstResponder(CustomNSTextField* field) override;

protected:
    ShareWindowController(const QString& windowName, const QString& prompt, const QString& placeholder,
                          const QString& sendTitle);
    virtual QString serviceName() const = 0;
    virtual void willClose() {}
    bool focusFieldOnShow_ = false;
    // Records the share (never waiting on the database) and hides the window.
    bool recordShare(int type, const QString& recipient, const QString& queuedMessage);
    std::shared_ptr<FlashwrenSharingBaseDelegate> delegate_;
    QUrl pathOfImageToSend_;
    QPointer<QWidget> window_;
    ShareWindowsContentView* content_ = nullptr;
    CustomNSTextField* field_ = nullptr;
    QPushButton* sendButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;

private:
    // The guest walked away: the window closes as Close would, and what they
    // typed goes with it.
    void closeIdleWindow();
};

class ShareViaEmailWindowController : public ShareWindowController {
    Q_OBJECT
public:
    ShareViaEmailWindowController();
    CustomNSTextField* emailField() const { return field_; }
    void userDidPressToSendEmail();
    void send() override { userDidPressToSendEmail(); }
    // The address as it will be recorded (trimmed), or "" when it is not a
    // plausible address.
    static QString validEmailAddress(const QString& text);

protected:
    QString serviceName() const override { return QStringLiteral("Email"); }
    void willClose() override;
};

class ShareViaSMSWindowController : public ShareWindowController {
    Q_OBJECT
public:
    ShareViaSMSWindowController();
    CustomNSTextField* mobileNumberField() const { return field_; }
    void userDidPressToSendSMS();
    void send() override { userDidPressToSendSMS(); }

protected:
    QString serviceName() const override { return QStringLiteral("SMS"); }
};
