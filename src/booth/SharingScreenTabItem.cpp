#include "booth/SharingScreenTabItem.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "base/Log.h"
#include "booth/BackgroundTask.h"
#include "booth/BoothPrinter.h"
#include "booth/BoothSettings.h"
#include "booth/QRCodePrint.h"
#include "core/MediaItemHelper.h"
#include "core/Models.h"
#include "core/PhotoSession.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenAudioPlayer.h"
#include "preferences/CustomControls.h"
#include "sharing/Analytics.h"
#include "sharing/FacebookSharing.h"
#include "sharing/ShareWindows.h"
#include "sharing/SharingRuntime.h"
#include "sharing/SocialSharingService.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"

namespace {
// The final screen's buttons are round, large enough for a finger.
const QSize kRoundButtonSize = RoundButton::squareSizeFor(QSize(150, 150));
}  // namespace

SharingScreenTabItem::SharingScreenTabItem(QWidget* parent) : WrenTabItem(parent) {
    setObjectName(QStringLiteral("SharingScreen"));
    setStyleSheet(QStringLiteral(
        "SharingScreenTabItem { background: #1b1f27; }"
        "QPushButton { font-size: 28px; padding: 16px 36px; border-radius: 12px; background: #2d6cdf; color: white; }"
        "QPushButton:disabled { background: #555; color: #999; }"
        "RoundButton { font-size: 22px; }"));
    setAttribute(Qt::WA_StyledBackground);

    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(QStringLiteral("Share your photos!"), this);
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("color: white; font-size: 40px; font-weight: bold;"));
    printView_ = new QLabel(this);
    printView_->setObjectName(QStringLiteral("PrintView"));
    printView_->setAlignment(Qt::AlignCenter);
    printView_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

    auto* buttons = new QWidget(this);
    buttons->setObjectName(QStringLiteral("ShareButtonRow"));
    buttonRow_ = new QHBoxLayout(buttons);
    buttonRow_->addStretch(1);
    printButton_ = new RoundButton(QStringLiteral("Print"), buttons);
    printButton_->setObjectName(QStringLiteral("PrintButton"));
    printButton_->setFixedSize(kRoundButtonSize);
    buttonRow_->addWidget(printButton_);
    connect(printButton_, &QPushButton::clicked, this, &SharingScreenTabItem::printSessionImage);
    doneButton_ = new RoundButton(QStringLiteral("Done"), buttons);
    doneButton_->setObjectName(QStringLiteral("DoneButton"));
    doneButton_->setFixedSize(kRoundButtonSize);
    buttonRow_->addWidget(doneButton_);
    buttonRow_->addStretch(1);
    connect(doneButton_, &QPushButton::clicked, this, [this] {
        timer_->stop();
        reportFinished();
    });

    countdownLabel_ = new QLabel(this);
    countdownLabel_->setObjectName(QStringLiteral("SharingCountdown"));
    countdownLabel_->setAlignment(Qt::AlignCenter);
    countdownLabel_->setStyleSheet(QStringLiteral("color: #bbb; font-size: 20px;"));

    layout->addWidget(title);
    layout->addWidget(printView_, 1);
    layout->addWidget(buttons);
    layout->addWidget(countdownLabel_);

    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, &SharingScreenTabItem::tick);
    autoPrintTimer_ = new QTimer(this);
    autoPrintTimer_->setSingleShot(true);
    connect(autoPrintTimer_, &QTimer::timeout, this, &SharingScreenTabItem::printSessionImage);
    // Once the print's public address is known, the screen shows, and prints,
    // the copy that carries its QR code.
    qrPrint_ = new QRCodePrint(this);
    connect(qrPrint_, &QRCodePrint::copyReady, this, [this](const QString& path) {
        PhotoSession::session().qrPrintImagePath = path;
        showPrintImage(path);
        if (autoPrintTimer_->isActive()) printSessionImage();  // the automatic print waited for this copy
    });
    // The countdown that waited for the guest's windows goes on once they
    // have closed.
    connect(&GuestWindows::shared(), &GuestWindows::windowClosed, this, [this] {
        if (countdownWaits_) resumeCountdown();
    });
}

void SharingScreenTabItem::showSession() {
    ++showing_;
    auto& record = PhotoSession::session();
    printPath_ = record.printImagePath;
    printView_->clear();
    for (auto* button : std::as_const(buttons_)) button->setEnabled(true);
    emit sessionShown();

    showPrintImage(printPath_);

    // The print goes out for its public address (when enhanced sharing is
    // on; otherwise its row is kept without upload).
    qrPrint_->follow(record.printMediaID, record.layoutEngine, printPath_);
    if (auto item = MediaItemHelper::getMediaItemForFileName(QFileInfo(printPath_).fileName()))
        MediaItemHelper::startUpload(item);
    // Each session print also goes to the business page, through the share queue.
    FBBusinessSharingManager::shareImageOnBusinessFBWallFromPath(printPath_);
    WrenAudioPlayer::playAudioWithName(
        QString::fromStdString(UserDefaults::standard().string("AUDIO_SHARE_PHOTO", "None")), true);

    secondsLeft_ = int(UserDefaults::standard().integer(BoothSettings::kSharingScreenSeconds, 30));
    updateCountdownLabel();
    timer_->start();

    printing_ = false;
    updatePrintButton();
    if (UserDefaults::standard().boolean("print_automatically") && canPrint()) {
        // With a QR-code layer the print waits for the copy that carries the
        // code of the uploaded print, for a while: then, or when the guest
        // leaves first, the plain print goes.
        const bool qr = record.layoutEngine && record.layoutEngine->document() &&
                        record.layoutEngine->document()->hasQRCodeLayer();
        autoPrintTimer_->start(qr ? 10000 : 0);
    }
}

// The print, or later the copy with the QR code in its place, decoded off
// the interface thread; shown only while its session is.
void SharingScreenTabItem::showPrintImage(const QString& path) {
    const quint64 showing = showing_;
    const QSize box = printView_->size().expandedTo(QSize(800, 600));
    runInBackground(
        this,
        [path, box] {
            QImageReader reader(path);
            const QSize full = reader.size();
            if (full.isValid()) reader.setScaledSize(full.scaled(box, Qt::KeepAspectRatio));
            return reader.read();
        },
        [this, showing](QImage image) {
            if (showing != showing_ || image.isNull()) return;
            printView_->setPixmap(QPixmap::fromImage(
                image.scaled(printView_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        });
}

bool SharingScreenTabItem::canPrint() const {
    if (printPath_.isEmpty()) return false;
    auto& defaults = UserDefaults::standard();
    const auto perSession = defaults.integer("MAX_PRINTS_PER_SESSION", 1);
    const auto perEvent = defaults.integer("MAX_PRINTS_PER_EVENT", 0);
    if (perSession > 0 && PhotoSession::session().printsMade >= perSession) return false;
    if (perEvent > 0 && PhotoSession::printsThisRun() >= perEvent) return false;
    return true;
}

void SharingScreenTabItem::updatePrintButton() {
    auto& defaults = UserDefaults::standard();
    const bool allowed = canPrint();
    bool visible = defaults.boolean("SHOW_PRINT_BUTTON_FINAL_SCREEN", true);
    if (!allowed && defaults.boolean("HIDE_PRINT_BUTTON_AFTER_MAX_PRINT")) visible = false;
    printButton_->setVisible(visible);
    printButton_->setEnabled(allowed && !printing_);
}

void SharingScreenTabItem::printSessionImage() {
    autoPrintTimer_->stop();
    if (printing_) return;
    if (!canPrint()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("No more prints for this session."), 3.0);
        updatePrintButton();
        return;
    }
    auto& record = PhotoSession::session();
    const QString path = record.qrPrintImagePath.isEmpty() ? printPath_ : record.qrPrintImagePath;
    printing_ = true;
    stopCountdown();
    updatePrintButton();
    const QImage icon = style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(64).toImage();
    ProgressWindowController::sharedPrgoressWindowController()->showWindowWithImage(icon, QStringLiteral("Printing..."),
                                                                                    3.0);
    const quint64 showing = showing_;
    const std::int64_t mediaID = record.printMediaID;
    const QString printPath = printPath_;
    runInBackground(
        this,
        [path, printPath, mediaID] {
            QString error;
            QString printer;
            const bool printed = BoothPrinter::printImage(path, &error, &printer);
            if (printed) {
                PhotoSession::addPrintThisRun();  // counted even when the guest has left the screen
                Analytics::trackPrint(printer, 1);
                SharingModel share;
                share.shareType = SharingTypePrint;
                share.filePath = printPath;  // the session's print, not its copy in Temp
                share.media_id = mediaID;
                share.dateEntered = QDateTime::currentDateTime();
                share.dateSent = share.dateEntered;
                share.dateLastTried = share.dateEntered;
                share.done = 1;
                if (!share.save()) spdlog::error("SharingScreen: unable to record the print");
            }
            return std::make_pair(printed, error);
        },
        [this, showing](std::pair<bool, QString> outcome) {
            if (showing != showing_) {
                if (!outcome.first)
                    spdlog::error("SharingScreen: the print made as its guest left failed: {}",
                                  outcome.second.toStdString());
                return;
            }
            printingDidEnd(outcome.first, outcome.second);
        });
}

void SharingScreenTabItem::printingDidEnd(bool printed, const QString& error) {
    printing_ = false;
    if (printed) {
        ++PhotoSession::session().printsMade;
    } else {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(error, 4.0);
    }
    updatePrintButton();
    resumeCountdown();
}

void SharingScreenTabItem::cleanUp() {
    // An automatic print still due is made now: the guest has left, the
    // print has not.
    if (autoPrintTimer_->isActive()) printSessionImage();
    ++showing_;
    qrPrint_->stop();
    timer_->stop();
    countdownWaits_ = false;
    autoPrintTimer_->stop();
    printing_ = false;
    printView_->clear();
    printPath_.clear();
    emit sessionEnded();
    GuestWindows::forgetWhatGuestsCopied();
}

void SharingScreenTabItem::tick() {
    if (--secondsLeft_ > 0) {
        updateCountdownLabel();
        return;
    }
    timer_->stop();
    WrenAudioPlayer::playAudioWithName(
        QString::fromStdString(UserDefaults::standard().string("AUDIO_THANK_YOU", "None")), true);
    reportFinished();
}

void SharingScreenTabItem::updateCountdownLabel() {
    countdownLabel_->setText(QStringLiteral("Back to the start in %1 s").arg(std::max(secondsLeft_, 0)));
}

void SharingScreenTabItem::stopCountdown() {
    countdownWaits_ = false;
    timer_->stop();
}

void SharingScreenTabItem::resumeCountdown() {
    countdownWaits_ = false;
    if (printing_) return;  // printing resumes it when done
    if (printPath_.isEmpty()) return;  // not showing a session
    // Whatever ended, a guest typing in a share or log-in window keeps the
    // session until the window closes.
    if (GuestWindows::shared().anyShown()) {
        countdownWaits_ = true;
        return;
    }
    if (secondsLeft_ <= 0) secondsLeft_ = 1;
    updateCountdownLabel();
    timer_->start();
}

bool SharingScreenTabItem::isCountdownRunning() const {
    return timer_->isActive();
}

void SharingScreenTabItem::addShareButton(const QString& service, QPushButton* button) {
    buttons_.insert(service, button);
    button->setObjectName(service + QStringLiteral("ShareButton"));
    if (qobject_cast<RoundButton*>(button)) button->setFixedSize(kRoundButtonSize);
    buttonRow_->insertWidget(buttonRow_->indexOf(doneButton_), button);
}

void SharingScreenTabItem::setShareButtonEnabled(const QString& service, bool enabled) {
    if (auto* button = buttons_.value(service)) button->setEnabled(enabled);
}

void SharingScreenTabItem::sharingWillStartFor(const QString& service) {
    QString message = QStringLiteral("Sharing Image...");
    if (service == QLatin1String("Email")) message = QStringLiteral("Sending E-mail..");
    if (service == QLatin1String("SMS")) message = QStringLiteral("Sending SMS..");
    const QImage icon = style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(64).toImage();
    ProgressWindowController::sharedPrgoressWindowController()->showWindowWithImage(icon, message, 3.0);
}

void SharingScreenTabItem::sharingDidFinishedFor(const QString& service, const QString& message) {
    resumeCountdown();
    setShareButtonEnabled(service, true);
    if (!message.isEmpty()) {
        const QImage icon = style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(64).toImage();
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithImage(icon, message, 3.0);
    }
    // E-mail and SMS are recorded by their windows and reported by the share
    // queue when they are sent.
    if (service == QLatin1String("Facebook") || service == QLatin1String("Twitter"))
        recordSocialShare(service, PhotoSession::session().printMediaID, printPath_,
                          userNameProvider_ ? userNameProvider_(service) : QString());
}

void SharingScreenTabItem::sharingDidFailedFor(const QString& service, const QString& message) {
    resumeCountdown();
    setShareButtonEnabled(service, true);
    // A wall post or tweet is not kept for a later try, so the guest hears
    // that it failed (a cancelled log-in has no message). Queued shares are
    // tried again and stay quiet.
    if (!message.isEmpty() && (service == QLatin1String("Facebook") || service == QLatin1String("Twitter")))
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Your photo was not shared on %1: %2").arg(service, message), 5.0);
}

void SharingScreenTabItem::recordSocialShare(const QString& service, std::int64_t mediaID, const QString& path,
                                             const QString& to) {
    // Through the one place that makes share rows, which also reports the
    // share to share tracking.
    // Stored off the interface thread, which must not wait out another
    // program's lock on the database.
    const int type = service == QLatin1String("Facebook") ? SharingTypeFacebook : SharingTypeTwitter;
    SharingRuntime::backgroundExecutor().post([type, mediaID, path, to] {
        SocialServiceHelper::trackShareOfType(type, 1, mediaID, 0, path, to);
    });
    Analytics::trackShare(service);
}
