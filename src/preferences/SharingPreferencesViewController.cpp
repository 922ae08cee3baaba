#include "preferences/CustomControls.h"
#include "preferences/SharingPreferencesViewController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "base/Executor.h"
#include "base/Json.h"
#include "core/MainQueue.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/FacebookLogin.h"
#include "sharing/FacebookSharing.h"
#include "sharing/GlimmerlyApi.h"
#include "templates/TEUtils.h"

namespace {

QString setting(const char* key) { return TEUtils::getUserSettingForKey(key).toString(); }
bool hasSetting(const char* key) { return WrenUtils::hasValue(TEUtils::getUserSettingForKey(key)); }

void showError(const QString& message, double seconds) {
    ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(message, seconds);
}

// Hands the log-in object's answers to the pane while it exists.
class PaneDelegate : public FacebookLoginDelegate {
public:
    explicit PaneDelegate(SharingPreferencesViewController* pane) : pane_(pane) {}
    void tokenResult(const FacebookTokenResult& r) override {
        if (pane_) pane_->tokenResult(r.valid, r.error.value_or(QString()));
    }
    void requestResult(const FacebookRequestResult& r) override {
        if (!pane_) return;
        std::optional<QByteArray> body;
        if (r.succeeded()) body = r.raw;
        pane_->requestResult(r.request, body);
    }
    void didDismissUI(FacebookLogin*) override {
        if (pane_) pane_->didDismissUI();
    }

private:
    QPointer<SharingPreferencesViewController> pane_;
};

}  // namespace

SharingPreferencesViewController::SharingPreferencesViewController()
    : PreferencePane("SharingPreferences", "appbar.social.sharethis", "Sharing") {
    graphGet = [](const QString& url, std::function<void(std::optional<nlohmann::json>, QString)> done) {
        // The Graph calls wait up to ten seconds: never on the interface thread.
        base::ThreadPool::shared().post([url, done] {
            QString error;
            auto reply = WrenUtils::sendSyncHTTPGetRequestAt(url, &error);
            runOnMainThread([reply, error, done] { done(reply, error); });
        });
    };
    makeLogin = [this] {
        return FacebookLogin::initWithApplicationID(FacebookSharing::applicationID(),
                                                    std::make_shared<PaneDelegate>(this));
    };
}

SharingPreferencesViewController::~SharingPreferencesViewController() = default;

QString SharingPreferencesViewController::graphRoot() const { return FacebookSharing::versionRoot(); }

void SharingPreferencesViewController::buildView(QWidget* view) {
    auto* outer = new QVBoxLayout(view);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea();
    scroll->setWidgetResizable(true);
    auto* parentNSView = new QWidget();
    parentNSView->setObjectName("parentNSView");
    auto* layout = new QVBoxLayout(parentNSView);

    auto* fbBox = new QGroupBox("Business Facebook page");
    auto* fbForm = new QFormLayout(fbBox);
    auto* linkRow = new QHBoxLayout();
    auto* link = new QPushButton();
    link->setObjectName("linkBusinessFacebookAccount");
    binder()->bindTitle(link, "BUSINESS_FB_LOGIN_BUTTON_TITLE");
    connect(link, &QPushButton::clicked, this, [this] { linkBusinessFacebookAccountButtonDidClicked(); });
    progrssIndicator_ = new QProgressBar();
    progrssIndicator_->setRange(0, 0);
    progrssIndicator_->setMaximumWidth(80);
    progrssIndicator_->hide();
    linkRow->addWidget(link);
    linkRow->addWidget(progrssIndicator_);
    linkRow->addStretch(1);
    fbForm->addRow(linkRow);
    businessPagesList_ = new QComboBox();
    businessPagesList_->setObjectName("businessPagesList");
    connect(businessPagesList_, qOverload<int>(&QComboBox::activated), this, [this] { onPageChange(); });
    fbForm->addRow("Page:", businessPagesList_);
    selectedBusinessPageAlbums_ = new QComboBox();
    selectedBusinessPageAlbums_->setObjectName("selectedBusinessPageAlbums");
    selectedBusinessPageAlbums_->setEditable(true);
    // Facebook tells albums apart by case: "Event" is not "event". A
    // case-sensitive completer also makes the box match typed text by case.
    selectedBusinessPageAlbums_->completer()->setCaseSensitivity(Qt::CaseSensitive);
    binder()->bindComboBox(selectedBusinessPageAlbums_, "BUSINESS_FACEBOOK_ALBUM");
    fbForm->addRow("Album:", selectedBusinessPageAlbums_);
    auto* pageEnabled = new QCheckBox("Post every print to the page");
    binder()->bindCheckBox(pageEnabled, "BUSINESS_FACEBOOK_SHARING_ENABLED");
    fbForm->addRow(pageEnabled);
    auto* pageText = new QLineEdit();
    binder()->bindLineEdit(pageText, "BUSINESS_FACEBOOK_DESCRIPTION");
    fbForm->addRow("Page post text:", pageText);
    for (auto* w : {static_cast<QWidget*>(businessPagesList_), static_cast<QWidget*>(selectedBusinessPageAlbums_),
                    static_cast<QWidget*>(pageEnabled), static_cast<QWidget*>(pageText)}) {
        binder()->bindEnabled(w, "IS_BUSINESS_FB_CONFIGURED", [](const QVariant& v) { return v.toString() == "1"; });
    }
    layout->addWidget(fbBox);

    auto* eventBox = new QGroupBox("Event");
    auto* eventForm = new QFormLayout(eventBox);
    auto* album = new QLineEdit();
    album->setObjectName("ALBUM_NAME");
    binder()->bindLineEdit(album, "ALBUM_NAME");
    connect(album, &QLineEdit::editingFinished, this, [this, album] { albumNameDidChanged(album); });
    eventForm->addRow("Event album name:", album);
    auto* navigation = new QCheckBox("Let guests step between photos in the online album");
    navigation->setObjectName("NAVIGATION_ENABLED");
    binder()->bindCheckBox(navigation, "NAVIGATION_ENABLED");
    connect(navigation, &QCheckBox::clicked, this, [this] { userDidClickToToggleNavigation(); });
    eventForm->addRow(navigation);
    auto* links = new QHBoxLayout();
    links->addWidget(makeLink("Manage online albums", "manageOnlineAlbums",
                              [this] { openURL("https://www.glimmerly.com/login"); }));
    links->addWidget(makeLink("About photos on the web site", "aboutPhotosOnTheWebSite",
                              [this] { openURL("https://support.flashwren.com/enhanced-sharing-and-deleting-photos"); }));
    links->addStretch(1);
    eventForm->addRow(links);
    layout->addWidget(eventBox);

    auto* textBox = new QGroupBox("Messages");
    auto* textForm = new QFormLayout(textBox);
    auto addField = [&](QFormLayout* form, const char* label, const char* key, bool secret = false) {
        auto* field = new QLineEdit();
        field->setObjectName(key);
        if (secret) field->setEchoMode(QLineEdit::PasswordEchoOnEdit);
        binder()->bindLineEdit(field, key);
        connect(field, &QLineEdit::textEdited, this, [field](const QString& text) {
            QString trimmed = trimmedFieldText(text);
            if (!text.isEmpty() && trimmed != text) field->setText(trimmed);
        });
        form->addRow(label, field);
    };
    addField(textForm, "Guests' replies to e-mails go to:", "EMAIL_FROM");
    addField(textForm, "E-mail subject:", "EMAIL_SUBJECT");
    auto* body = new QLineEdit();
    binder()->bindLineEdit(body, "EMAIL_BODY");
    textForm->addRow("E-mail message:", body);
    auto* sms = new QLineEdit();
    binder()->bindLineEdit(sms, "SMS_SHARING_TEXT");
    textForm->addRow("SMS message:", sms);
    auto* fbText = new QLineEdit();
    binder()->bindLineEdit(fbText, "FACEBOOK_SHARING_TEXT");
    textForm->addRow("Text of a guest's Facebook post:", fbText);
    auto* twText = new QLineEdit();
    binder()->bindLineEdit(twText, "TWITTER_SHARING_TEXT");
    textForm->addRow("Text of a guest's tweet:", twText);
    layout->addWidget(textBox);

    auto* twilioBox = new QGroupBox("SMS (Twilio)");
    auto* twilioForm = new QFormLayout(twilioBox);
    addField(twilioForm, "Account SID:", "TWILIO_ACCOUNT_SID");
    addField(twilioForm, "Auth token:", "TWILIO_AUTH_TOKEN", true);
    addField(twilioForm, "From number:", "FROM_TWILIO_NUMBER");
    addField(twilioForm, "Country code put before the guest's number (SMS is offered only with one):", "TWILIO_COUNTRY_CODE");
    twilioForm->addRow(makeLink("Open the Twilio web site", "openTwilioWebsiteButton",
                                [this] { openURL("https://www.twilio.com/"); }));
    layout->addWidget(twilioBox);
    layout->addStretch(1);

    scroll->setWidget(parentNSView);
    outer->addWidget(scroll);
    view->setMinimumSize(560, 480);
    view->resize(560, 600);
}

void SharingPreferencesViewController::viewWillAppear() {
    isLoadingFBPages_ = true;
    QTimer::singleShot(100, this, [this] { loadFBPagesForConnectedUser(); });
}

void SharingPreferencesViewController::perfWindowDidOpended() {
    if (!isLoadingFBPages_) QTimer::singleShot(100, this, [this] { loadFBPagesForConnectedUser(); });
}

void SharingPreferencesViewController::loadFBPagesForConnectedUser() {
    if (hasSetting("BUSINESS_FB_TOKEN") && hasSetting("BUSINESS_FB_ACCOUNT_NAME")) {
        TEUtils::saveUserSetting("LOGOUT " + QStringLiteral("(%1)").arg(setting("BUSINESS_FB_ACCOUNT_NAME")),
                                 "BUSINESS_FB_LOGIN_BUTTON_TITLE");
        QTimer::singleShot(0, this, [this] { loadFBPagesFromAccount(); });
    } else {
        TEUtils::saveUserSetting(QString("Login"), "BUSINESS_FB_LOGIN_BUTTON_TITLE");
    }
    isLoadingFBPages_ = false;
}

void SharingPreferencesViewController::linkBusinessFacebookAccountButtonDidClicked() {
    if (hasSetting("BUSINESS_FB_TOKEN")) {
        cleanupBusinessDetailsInDefaults();
        return;
    }
    if (progrssIndicator_) progrssIndicator_->show();
    fb_ = makeLogin();
    if (!fb_) return;
    fb_->invalidateCachedToken();
    fb_->getAccessTokenForPermissions({"publish_actions", "manage_pages", "user_photos"}, false);
}

void SharingPreferencesViewController::tokenResult(bool valid, const QString& description) {
    if (progrssIndicator_) progrssIndicator_->hide();
    if (valid && fb_ && fb_->accessToken()) {
        TEUtils::setUserSetting(QString("1"), "IS_BUSINESS_FB_CONFIGURED");
        TEUtils::saveUserSetting(*fb_->accessToken(), "BUSINESS_FB_TOKEN");
        fb_->sendRequest("/me");
        return;
    }
    spdlog::error("SharingPreferences - Unable to link FB account and got response as: valid={} error={}", valid,
                  description.toStdString());
    showError("Unable to link Facebook account.", 5.0);
}

void SharingPreferencesViewController::didDismissUI() {
    if (progrssIndicator_) progrssIndicator_->hide();
}

void SharingPreferencesViewController::requestResult(const QString& request, const std::optional<QByteArray>& result) {
    if (!result) {
        spdlog::error("SharingPrefrences: Can't like Business FB caccount or failed to get pages...");
        return;
    }
    // Names on Facebook are not ASCII: read the reply as UTF-8.
    auto reply = base::parseJson(std::string(result->constData(), static_cast<size_t>(result->size())));
    if (!reply) reply = nlohmann::json::object();
    if (request == "/me") {
        userFbID_ = QString::fromStdString(base::jsonString(*reply, "id").value_or(""));
        QString name = QString::fromStdString(base::jsonString(*reply, "first_name").value_or("")) + " " +
                       QString::fromStdString(base::jsonString(*reply, "last_name").value_or(""));
        TEUtils::saveUserSetting(name, "BUSINESS_FB_ACCOUNT_NAME");
        TEUtils::saveUserSetting("LOGOUT " + QStringLiteral("(%1)").arg(name), "BUSINESS_FB_LOGIN_BUTTON_TITLE");
        TEUtils::saveUserSetting(userFbID_, "BUSINESS_FB_ID");
        if (fb_) fb_->sendRequest("/me/accounts");
    } else if (request == "/me/accounts") {
        spdlog::info("SharePerfs: Successfully Linked account and received account details as well...");
        parseFBPagesResponse(*reply);
    }
}

void SharingPreferencesViewController::loadFBPagesFromAccount() {
    businessFBPagesArray_.clear();
    if (!hasSetting("BUSINESS_FB_TOKEN")) {
        showError("Please relink facebook account.", 5.0);
        return;
    }
    ++pageLoads_;
    QString url = graphRoot() + QStringLiteral("/me/accounts?access_token=%1").arg(setting("BUSINESS_FB_TOKEN"));
    QPointer<SharingPreferencesViewController> self(this);
    graphGet(url, [self](std::optional<nlohmann::json> reply, QString error) {
        if (!self) return;
        if (!error.isEmpty()) {
            spdlog::error("SharingPerfs: can't load business FB pages information .. {}", error.toStdString());
            showError(error, 5.0);
            return;
        }
        nlohmann::json r = reply.value_or(nlohmann::json::object());
        if (auto message = FacebookSharing::getFBErrorMessageIfPresentFromResponse(r)) {
            showError(*message, 5.0);
            return;
        }
        self->parseFBPagesResponse(r);
    });
}

void SharingPreferencesViewController::parseFBPagesResponse(const nlohmann::json& reply) {
    QList<QVariantMap> pages;
    if (hasSetting("BUSINESS_FB_ACCOUNT_NAME") && hasSetting("BUSINESS_FB_TOKEN") && hasSetting("BUSINESS_FB_ID")) {
        pages << QVariantMap{{"pagename", setting("BUSINESS_FB_ACCOUNT_NAME") + " profile page"},
                             {"pageid", setting("BUSINESS_FB_ID")},
                             {"access_token", setting("BUSINESS_FB_TOKEN")}};
    }
    if (auto* data = base::jsonArray(reply, "data")) {
        for (auto& entry : *data) {
            auto id = base::jsonString(entry, "id");
            auto name = base::jsonString(entry, "name");
            auto token = base::jsonString(entry, "access_token");
            // A page we may not post to is no choice at all.
            if (!id || !name || !token || token->empty()) continue;
            pages << QVariantMap{{"pagename", QString::fromStdString(*name)},
                                 {"pageid", QString::fromStdString(*id)},
                                 {"access_token", QString::fromStdString(*token)}};
        }
    }
    if (!pages.isEmpty()) businessFBPagesArray_ = pages;
    populateFBPagesPopupDropdown();
}

void SharingPreferencesViewController::populateFBPagesPopupDropdown() {
    if (!businessPagesList_) return;
    businessPagesList_->clear();
    if (businessFBPagesArray_.isEmpty()) {
        spdlog::info("ShareingPrefrences: No business pages..");
        return;
    }
    for (auto& page : businessFBPagesArray_) {
        QString title = page.value("pagename").toString();
        if (!title.isEmpty()) businessPagesList_->addItem(title);
    }
    int index = businessPagesList_->findText(setting("SELECTED_BUSINESS_FB_PAGE"));
    if (hasSetting("SELECTED_BUSINESS_FB_PAGE") && index >= 0) businessPagesList_->setCurrentIndex(index);
    else if (businessPagesList_->count() > 0) businessPagesList_->setCurrentIndex(0);
    businessPageDidChanged();
}

void SharingPreferencesViewController::onPageChange() {
    TEUtils::setUserSetting(QString(""), "BUSINESS_FACEBOOK_ALBUM");
    QTimer::singleShot(0, this, [this] { businessPageDidChanged(); });
}

void SharingPreferencesViewController::businessPageDidChanged() {
    if (!businessPagesList_) return;
    QString title = businessPagesList_->currentText();
    TEUtils::saveUserSetting(title, "SELECTED_BUSINESS_FB_PAGE");
    for (auto& page : businessFBPagesArray_) {
        if (page.value("pagename").toString() != title) continue;
        if (page.contains("pageid")) {
            TEUtils::saveUserSetting(page.value("pageid"), "SELECTED_BUSINESS_FB_PAGE_ID");
            TEUtils::saveUserSetting(page.value("access_token"), "SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN");
            loadFBPageAlbums();
        }
        return;
    }
}

void SharingPreferencesViewController::loadFBPageAlbums() {
    QString pageID = setting("SELECTED_BUSINESS_FB_PAGE_ID");
    QString title = setting("SELECTED_BUSINESS_FB_PAGE");
    QString token = setting("SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN");
    pageAlbumsInfo_.clear();
    spdlog::info("SharingPreferences: loading albums for facebook {} page... ", title.toStdString());
    QString url = graphRoot() + QStringLiteral("/%1/%2?access_token=%3").arg(pageID, "albums", token);
    QPointer<SharingPreferencesViewController> self(this);
    graphGet(url, [self](std::optional<nlohmann::json> reply, QString error) {
        if (!self) return;
        if (!error.isEmpty()) {
            showError(error, 5.0);
            return;
        }
        nlohmann::json r = reply.value_or(nlohmann::json::object());
        if (auto message = FacebookSharing::getFBErrorMessageIfPresentFromResponse(r)) {
            showError(*message, 5.0);
            return;
        }
        if (auto* data = base::jsonArray(r, "data")) {
            for (auto& entry : *data) {
                QString name = QString::fromStdString(base::jsonString(entry, "name").value_or(""));
                if (base::jsonBool(entry, "can_upload").value_or(false)) {
                    self->pageAlbumsInfo_.emplace_back(QString::fromStdString(base::jsonString(entry, "id").value_or("")),
                                                       name);
                } else {
                    spdlog::info("SharingPrefrences: can't upload to album {} so skipping it", name.toStdString());
                }
            }
        }
        if (!self->pageAlbumsInfo_.empty()) self->populateAlbumsComboBox();
    });
}

void SharingPreferencesViewController::populateAlbumsComboBox() {
    businessSelectedFBPageAlbums_.clear();
    for (auto& [id, name] : pageAlbumsInfo_) businessSelectedFBPageAlbums_ << name;
    QString stored = setting("BUSINESS_FACEBOOK_ALBUM");
    if (!selectedBusinessPageAlbums_) return;
    {
        // Refilling the box is no choice of the operator's: its binding must
        // not store the items as they pass through.
        QSignalBlocker block(selectedBusinessPageAlbums_);
        selectedBusinessPageAlbums_->clear();
        selectedBusinessPageAlbums_->addItems(businessSelectedFBPageAlbums_);
        if (!stored.isEmpty() && !businessSelectedFBPageAlbums_.contains(stored)) {
            businessSelectedFBPageAlbums_ << stored;
            selectedBusinessPageAlbums_->addItem(stored);
            selectedBusinessPageAlbums_->setCurrentIndex(selectedBusinessPageAlbums_->count() - 1);
            return;
        }
        int i = selectedBusinessPageAlbums_->findText(stored, Qt::MatchFixedString | Qt::MatchCaseSensitive);
        if (i >= 0) selectedBusinessPageAlbums_->setCurrentIndex(i);
        else if (selectedBusinessPageAlbums_->count() > 0) selectedBusinessPageAlbums_->setCurrentIndex(0);
    }
    // Page posts go to the album the box shows: when the pane chose one for
    // the operator, that choice is stored.
    const QString shown = selectedBusinessPageAlbums_->currentText();
    if (shown != stored) TEUtils::setUserSetting(shown, "BUSINESS_FACEBOOK_ALBUM");
}

void SharingPreferencesViewController::cleanupBusinessDetailsInDefaults() {
    auto& d = UserDefaults::standard();
    for (auto* key : {"BUSINESS_FB_ID", "BUSINESS_FB_TOKEN", "BUSINESS_FB_ACCOUNT_NAME", "SELECTED_BUSINESS_FB_PAGE",
                      "SELECTED_BUSINESS_FB_PAGE_ID", "SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN"})
        d.remove(key);
    TEUtils::setUserSetting(QString("0"), "IS_BUSINESS_FB_CONFIGURED");
    pageAlbumsInfo_.clear();
    businessFBPagesArray_.clear();
    populateFBPagesPopupDropdown();
    populateAlbumsComboBox();
    TEUtils::saveUserSetting(QString("Login"), "BUSINESS_FB_LOGIN_BUTTON_TITLE");
}

QString SharingPreferencesViewController::trimmedFieldText(const QString& text) {
    static const QString allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._- ";
    int start = 0, end = static_cast<int>(text.size());
    while (start < end && !allowed.contains(text[start])) ++start;
    while (end > start && !allowed.contains(text[end - 1])) --end;
    return text.mid(start, end - start);
}

bool SharingPreferencesViewController::isValidAlbumName(const QString& name) {
    static const QRegularExpression re("^[a-zA-Z0-9][ A-Za-z0-9_-]*$");
    return name.isEmpty() || re.match(name).hasMatch();
}

bool SharingPreferencesViewController::albumNameDidChanged(QLineEdit* sender) {
    QString name = setting("ALBUM_NAME");
    if (isValidAlbumName(name)) return true;
    showError("Invalid Album Name.", 2.0);
    QPointer<QLineEdit> field(sender);
    QTimer::singleShot(100, this, [field] {
        if (!field) return;
        field->setFocus();
        field->selectAll();
    });
    return false;
}

void SharingPreferencesViewController::userDidClickToToggleNavigation() {
    QTimer::singleShot(100, this, [] {
        long value = static_cast<long>(UserDefaults::standard().integer("NAVIGATION_ENABLED"));
        auto api = std::make_shared<GlimmerlyApi>();
        api->updatePrevNextOfUserAtFlashwrenServer(value);
    });
}
