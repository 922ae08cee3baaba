#include "sharing/TwitterSharing.h"

#include <spdlog/spdlog.h>

#include "sharing/SharingRuntime.h"

std::shared_ptr<TwitterSharing> TwitterSharing::create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) {
    return std::shared_ptr<TwitterSharing>(new TwitterSharing(std::move(delegate)));
}

TwitterSharing::~TwitterSharing() {
    if (controller_) controller_->deleteLater();
}

void TwitterSharing::postTweetWithText(const QString& text, const QUrl& image) {
    tweetText_ = text;
    imagePath_ = image.isLocalFile() ? image.toLocalFile() : image.toString();
    startTwitterSharing();
}

void TwitterSharing::startTwitterSharing() {
    expectOutcome();
    self_ = std::static_pointer_cast<TwitterSharing>(shared_from_this());
    pinReceived_ = false;
    ended_ = false;
    QString api = ServiceConfig::value(QStringLiteral("TwitterAPIURL"));
    if (api.isEmpty()) api = QStringLiteral("https://api.twitter.com/");
    twitter_ = std::make_shared<TwitterAPI>(api, ServiceConfig::value(QStringLiteral("TwitterConsumerKey")).toStdString(),
                                            ServiceConfig::value(QStringLiteral("TwitterConsumerSecret")).toStdString());
    // The window shows from the tap, loading, so that the wait for Twitter's
    // token has the window's ends: the guest's Close and the idle wait.
    if (controller_) controller_->deleteLater();
    controller_ = new TwitterLoginWindowController(this, QString());
    controller_->windowDidLoad();
    getTwitrerPIN();
}

void TwitterSharing::getTwitrerPIN() {
    auto self = self_;
    auto twitter = twitter_;
    SharingRuntime::backgroundExecutor().post([self, twitter] {
        QString error;
        auto token = twitter->postTokenRequest(&error);
        SharingRuntime::mainExecutor().post([self, token, error] {
            if (self->ended_) return;  // the guest closed the window meanwhile
            if (!token) {
                spdlog::error("TwitterSharing: getTwitrerPIN - error {}", error.toStdString());
                self->fail(error);
                return;
            }
            self->showLogIn(*token);
        });
    });
}

void TwitterSharing::showLogIn(const TwitterAPI::RequestToken& token) {
    if (ended_) return;
    requestToken_ = token;
    pinURL_ = token.authorizeURL;
    if (controller_) controller_->loadAuthorisePage(pinURL_);
}

bool TwitterSharing::didReceiveTwitterPIN(const QString& pin) {
    if (pinReceived_ || ended_ || !requestToken_) return false;
    pinReceived_ = true;
    tellWillStart(kService);
    auto self = self_;
    auto twitter = twitter_;
    auto requestToken = *requestToken_;
    const QString text = tweetText_;
    const QString image = imagePath_;
    SharingRuntime::backgroundExecutor().post([self, twitter, requestToken, pin, text, image] {
        QString error;
        auto access = twitter->postAccessTokenRequestWithPIN(requestToken, pin, &error);
        if (!access) {
            spdlog::error("TwitterSharing: postAccessTokenRequestWithPIN error {}", error.toStdString());
            SharingRuntime::mainExecutor().post([self, error] { self->fail(error); });
            return;
        }
        if (!twitter->postStatusUpdate(text, image, *access, &error)) {
            spdlog::error("TwitterhSharing: postStatusUpdate error {}", error.toStdString());
            SharingRuntime::mainExecutor().post([self, error] { self->fail(error); });
            return;
        }
        const QString screenName = QString::fromStdString(access->screenName);
        SharingRuntime::mainExecutor().post([self, screenName] {
            self->setUserNameToWhomFileIsShared(screenName);
            self->reportFinished(kService, QStringLiteral("Image Shared."));
            self->finish();
        });
    });
    return true;
}

void TwitterSharing::userDidCancelTwitterSharing() {
    // Once a PIN is on its way its own outcome follows; closing adds nothing.
    if (ended_ || pinReceived_) return;
    fail(QString());
}

void TwitterSharing::fail(const QString& message) {
    reportFailed(kService, message);
    finish();
}

void TwitterSharing::finish() {
    ended_ = true;
    twitter_.reset();
    if (controller_) {
        controller_->orderOut();
        controller_->performCleanup();
        controller_->deleteLater();
        controller_ = nullptr;
    }
    // Let go of ourselves after this call has returned.
    auto keep = std::move(self_);
    self_.reset();
    if (keep) SharingRuntime::mainExecutor().post([keep] {});
}
