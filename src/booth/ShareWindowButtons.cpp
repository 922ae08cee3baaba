#include "booth/ShareWindowButtons.h"

#include <QPushButton>
#include <QUrl>

#include "booth/SharingScreenTabItem.h"
#include "core/ProgressWindowController.h"
#include "core/WrenUtils.h"
#include "preferences/CustomControls.h"
#include "sharing/ShareWindows.h"
#include "templates/TEUtils.h"

ShareWindowButtons* ShareWindowButtons::install(SharingScreenTabItem* screen) {
    auto* buttons = new ShareWindowButtons(screen);
    auto* email = new RoundButton(QStringLiteral("E-mail"));
    screen->addShareButton(QStringLiteral("Email"), email);
    connect(email, &QPushButton::clicked, buttons, &ShareWindowButtons::openEmailWindow);
    auto* sms = new RoundButton(QStringLiteral("SMS"));
    screen->addShareButton(QStringLiteral("SMS"), sms);
    connect(sms, &QPushButton::clicked, buttons, &ShareWindowButtons::openSMSWindow);
    // A sent entry is emptied at once; one typed and then closed stays for
    // the same guest, but not for the next. No window outlives its session.
    auto endSession = [buttons] {
        if (buttons->email_) buttons->email_->closeForNextGuest();
        if (buttons->sms_) buttons->sms_->closeForNextGuest();
    };
    connect(screen, &SharingScreenTabItem::sessionEnded, buttons, endSession);
    connect(screen, &SharingScreenTabItem::sessionShown, buttons, endSession);
    return buttons;
}

ShareWindowButtons::ShareWindowButtons(SharingScreenTabItem* screen) : QObject(screen), screen_(screen) {}

ShareWindowButtons::~ShareWindowButtons() {
    delete email_;
    delete sms_;
}

bool ShareWindowButtons::isSMSConfigured() {
    for (const char* key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER"})
        if (!WrenUtils::hasValue(TEUtils::getUserSettingForKey(QString::fromLatin1(key)))) return false;
    bool ok = false;
    const int code = TEUtils::getUserSettingForKey(QStringLiteral("TWILIO_COUNTRY_CODE")).toString().toInt(&ok);
    return ok && code >= 1;
}

void ShareWindowButtons::openEmailWindow() {
    if (!email_) {
        email_ = new ShareViaEmailWindowController();
        email_->setDelegate(FlashwrenSharingBase::unowned(screen_));
    }
    screen_->stopCountdown();
    screen_->setShareButtonEnabled(QStringLiteral("Email"), false);
    email_->setPathOfImageToSend(QUrl::fromLocalFile(screen_->printPath()));
    email_->showWindow();
}

void ShareWindowButtons::openSMSWindow() {
    if (!isSMSConfigured()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("SMS sharing is not set up."), 3.0);
        return;
    }
    if (!sms_) {
        sms_ = new ShareViaSMSWindowController();
        sms_->setDelegate(FlashwrenSharingBase::unowned(screen_));
    }
    screen_->stopCountdown();
    screen_->setShareButtonEnabled(QStringLiteral("SMS"), false);
    sms_->setPathOfImageToSend(QUrl::fromLocalFile(screen_->printPath()));
    sms_->showWindow();
}
