#pragma once
// The final screen: shows the session's print, starts its upload, offers the
// share buttons and returns home after its countdown. It is the result
// delegate of the sharing services (will start, finished, failed).
#include <QImage>
#include <QMap>
#include <QString>

#include <cstdint>

#include "booth/WrenTabItem.h"
#include "sharing/FlashwrenSharingBase.h"

class QHBoxLayout;
class QLabel;
class QPushButton;
class QRCodePrint;
class QTimer;

class SharingScreenTabItem : public WrenTabItem, public FlashwrenSharingBaseDelegate {
    Q_OBJECT
public:
    explicit SharingScreenTabItem(QWidget* parent = nullptr);

    // Shows the current session's print and starts the countdown.
    void showSession();
    void cleanUp() override;

    // Share buttons: each service's button goes into the button row before
    // the "Done" button, under its service name ("Email", "SMS", "Facebook",
    // "Twitter", ...).
    void addShareButton(const QString& service, QPushButton* button);
    QPushButton* shareButton(const QString& service) const { return buttons_.value(service); }
    void setShareButtonEnabled(const QString& service, bool enabled);

    // The countdown back home; a share window stops it, and it runs only
    // while no share or log-in window is open.
    void stopCountdown();
    void resumeCountdown();
    int secondsLeft() const { return secondsLeft_; }
    bool isCountdownRunning() const;

    // Results of the sharing services (interface thread).
    void sharingWillStartFor(const QString& service) override;
    void sharingDidFinishedFor(const QString& service, const QString& message) override;
    void sharingDidFailedFor(const QString& service, const QString& message) override;
    // The account a Facebook or Twitter share went to, for its share row;
    // the sharing services install it.
    void setSharedUserNameProvider(std::function<QString(const QString& service)> provider) {
        userNameProvider_ = std::move(provider);
    }

    QString printPath() const { return printPath_; }
    // What the screen shows now: a new value with each session shown and
    // each end of one.
    quint64 showingID() const { return showing_; }
    // A Facebook or Twitter post that went out: its share row, and its
    // report to usage tracking.
    static void recordSocialShare(const QString& service, std::int64_t mediaID, const QString& path,
                                  const QString& to);

    // Printing, within the limits per session (MAX_PRINTS_PER_SESSION) and
    // per run (MAX_PRINTS_PER_EVENT); a limit of 0 or less means none.
    void printSessionImage();
    bool canPrint() const;
    bool isPrinting() const { return printing_; }
    QPushButton* printButton() const { return printButton_; }

signals:
    // A new session's print is on the screen: nothing of the last guest
    // may be left in the share windows.
    void sessionShown();
    // The session's final screen has ended (Done, the countdown, or the
    // booth going elsewhere): what its guest started ends with it.
    void sessionEnded();

private:
    void showPrintImage(const QString& path);
    void updatePrintButton();
    void printingDidEnd(bool printed, const QString& error);
    void tick();
    void updateCountdownLabel();

    QLabel* printView_ = nullptr;
    QLabel* countdownLabel_ = nullptr;
    QHBoxLayout* buttonRow_ = nullptr;
    QPushButton* doneButton_ = nullptr;
    QPushButton* printButton_ = nullptr;
    QTimer* timer_ = nullptr;
    QTimer* autoPrintTimer_ = nullptr;
    QRCodePrint* qrPrint_ = nullptr;
    bool printing_ = false;
    QMap<QString, QPushButton*> buttons_;
    std::function<QString(const QString&)> userNameProvider_;
    QString printPath_;
    int secondsLeft_ = 0;
    bool countdownWaits_ = false;  // resumed while a guest's window was open
    quint64 showing_ = 0;
};
