#pragma once
// The final screen's e-mail and SMS buttons and the share windows they open.
#include <QObject>
#include <QPointer>

class SharingScreenTabItem;
class ShareViaEmailWindowController;
class ShareViaSMSWindowController;

class ShareWindowButtons : public QObject {
    Q_OBJECT
public:
    // Adds the two buttons to the screen's button row; owned by the screen.
    static ShareWindowButtons* install(SharingScreenTabItem* screen);

    void openEmailWindow();
    void openSMSWindow();
    // The SMS window opens only with the provider's settings and a country code.
    static bool isSMSConfigured();
    ShareViaEmailWindowController* emailWindow() const { return email_; }
    ShareViaSMSWindowController* smsWindow() const { return sms_; }

private:
    explicit ShareWindowButtons(SharingScreenTabItem* screen);
    ~ShareWindowButtons() override;
    SharingScreenTabItem* screen_;
    ShareViaEmailWindowController* email_ = nullptr;  // made on first use, kept
    ShareViaSMSWindowController* sms_ = nullptr;
};
