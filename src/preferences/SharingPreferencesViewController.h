#pragma once
// The Sharing pane: links the business Facebook account, picks the page and
// album that page posts go to, checks the event album name and edits the
// other sharing settings.
#include <QList>
#include <QStringList>
#include <QVariantMap>

#include <map>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "preferences/PreferencePane.h"

class FacebookLogin;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

class SharingPreferencesViewController : public PreferencePane {
    Q_OBJECT
public:
    SharingPreferencesViewController();
    ~SharingPreferencesViewController() override;

    void viewWillAppear() override;
    void perfWindowDidOpended() override;

    void linkBusinessFacebookAccountButtonDidClicked();
    void tokenResult(bool valid, const QString& description);
    // A Graph reply of the log-in object: `request` is the path asked for.
    void requestResult(const QString& request, const std::optional<QByteArray>& result);
    void didDismissUI();

    void loadFBPagesForConnectedUser();
    void loadFBPagesFromAccount();
    void parseFBPagesResponse(const nlohmann::json& reply);
    void populateFBPagesPopupDropdown();
    void onPageChange();
    void businessPageDidChanged();
    void loadFBPageAlbums();
    void populateAlbumsComboBox();
    void cleanupBusinessDetailsInDefaults();
    // Trims characters outside letters, digits and "._- " from both ends.
    static QString trimmedFieldText(const QString& text);
    // The event album name rule: empty, or a letter or digit followed by
    // letters, digits, blanks, underscores and hyphens.
    static bool isValidAlbumName(const QString& name);
    bool albumNameDidChanged(QLineEdit* sender);
    void userDidClickToToggleNavigation();

    // The Graph GET used for pages and albums: runs off the interface thread
    // and answers on it. Tests replace it.
    using GraphGet = std::function<void(const QString& url, std::function<void(std::optional<nlohmann::json>, QString error)>)>;
    GraphGet graphGet;
    // Makes the log-in object; tests replace it.
    std::function<std::shared_ptr<FacebookLogin>()> makeLogin;

    const QList<QVariantMap>& businessFBPagesArray() const { return businessFBPagesArray_; }
    const QStringList& businessSelectedFBPageAlbums() const { return businessSelectedFBPageAlbums_; }
    QComboBox* businessPagesList() const { return businessPagesList_; }
    QComboBox* selectedBusinessPageAlbums() const { return selectedBusinessPageAlbums_; }
    bool isLoadingFBPages() const { return isLoadingFBPages_; }
    int pageLoads() const { return pageLoads_; }

protected:
    void buildView(QWidget* view) override;

private:
    QString graphRoot() const;
    std::shared_ptr<FacebookLogin> fb_;
    QProgressBar* progrssIndicator_ = nullptr;
    QList<QVariantMap> businessFBPagesArray_;
    QStringList businessSelectedFBPageAlbums_;
    QString userFbID_;
    std::vector<std::pair<QString, QString>> pageAlbumsInfo_;  // album id, name
    bool isLoadingFBPages_ = false;
    QComboBox* businessPagesList_ = nullptr;
    QComboBox* selectedBusinessPageAlbums_ = nullptr;
    int pageLoads_ = 0;
};
