#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <functional>

#include "PreferencesTestMain.h"
#include "preferences/SharingPreferencesViewController.h"
#include "templates/TEUtils.h"

namespace {

class SharingPane : public ::testing::Test {
protected:
    void SetUp() override {
        testApp();
        pane.graphGet = [this](const QString& url, std::function<void(std::optional<nlohmann::json>, QString)> done) {
            urls << url;
            done(url.contains("/albums") ? albums : pages, QString());
        };
        pane.view();
    }
    void link() {
        d().set("BUSINESS_FB_TOKEN", "user-token");
        d().set("BUSINESS_FB_ACCOUNT_NAME", "Ada Lovelace");
        d().set("BUSINESS_FB_ID", "42");
        d().set("IS_BUSINESS_FB_CONFIGURED", "1");
    }
    static bool waitUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); }
    UserDefaults& d() { return UserDefaults::standard(); }
    testsupport::ScopedHome home;
    SharingPreferencesViewController pane;
    nlohmann::json pages = nlohmann::json::object();
    nlohmann::json albums = nlohmann::json::object();
    QStringList urls;
};

}  // namespace

TEST_F(SharingPane, ALinkedAccountWithoutPagesListsItsOwnProfileAndSkipsPagesWithoutAToken) {
    link();
    pages = {{"data", {{{"id", "7"}, {"name", "No Token Page"}}, {{"id", "8"}, {"name", "Café Ünïcode"}, {"access_token", "t8"}}}}};
    pane.loadFBPagesFromAccount();
    ASSERT_EQ(pane.businessFBPagesArray().size(), 2);
    EXPECT_EQ(pane.businessFBPagesArray()[0]["pagename"], "Ada Lovelace profile page");
    EXPECT_EQ(pane.businessFBPagesArray()[0]["access_token"], "user-token");
    EXPECT_EQ(pane.businessFBPagesArray()[1]["pagename"], QString::fromUtf8("Café Ünïcode"));
    EXPECT_EQ(pane.businessPagesList()->count(), 2);
    EXPECT_EQ(d().string("SELECTED_BUSINESS_FB_PAGE"), "Ada Lovelace profile page");
    EXPECT_EQ(d().string("SELECTED_BUSINESS_FB_PAGE_ID"), "42");
    EXPECT_TRUE(urls.first().endsWith("/v2.2/me/accounts?access_token=user-token"));
}

TEST_F(SharingPane, ChoosingAPageClearsTheAlbumAndKeepsAStoredAlbumThePageLacks) {
    link();
    pages = {{"data", {{{"id", "8"}, {"name", "Venue"}, {"access_token", "t8"}}}}};
    albums = {{"data", {{{"id", "a1"}, {"name", "Party"}, {"can_upload", true}}, {{"id", "a2"}, {"name", "Closed"}, {"can_upload", false}}}}};
    d().set("BUSINESS_FACEBOOK_ALBUM", "Wedding 2026");
    pane.loadFBPagesFromAccount();
    EXPECT_EQ(pane.businessSelectedFBPageAlbums(), QStringList({"Party", "Wedding 2026"}));
    EXPECT_EQ(pane.selectedBusinessPageAlbums()->currentText(), "Wedding 2026");

    pane.businessPagesList()->setCurrentIndex(1);
    pane.onPageChange();
    EXPECT_EQ(d().string("BUSINESS_FACEBOOK_ALBUM"), "");
    EXPECT_TRUE(waitUntil([&] { return d().string("SELECTED_BUSINESS_FB_PAGE_ID") == "8"; }));
    EXPECT_EQ(pane.selectedBusinessPageAlbums()->currentText(), "Party");
    EXPECT_EQ(d().string("BUSINESS_FACEBOOK_ALBUM"), "Party") << "the album shown is the album posts go to";

    // A page whose albums all refuse uploads leaves the list as it was.
    albums = {{"data", {{{"id", "a2"}, {"name", "Closed"}, {"can_upload", false}}}}};
    pane.loadFBPageAlbums();
    EXPECT_EQ(pane.businessSelectedFBPageAlbums(), QStringList({"Party"}));
}

TEST_F(SharingPane, TheAlbumTheBoxShowsIsTheAlbumStored) {
    link();
    pages = {{"data", {{{"id", "8"}, {"name", "Venue"}, {"access_token", "t8"}}}}};
    albums = {{"data", {{{"id", "a1"}, {"name", "event"}, {"can_upload", true}}, {{"id", "a2"}, {"name", "Party"}, {"can_upload", true}}}}};
    pane.loadFBPagesFromAccount();
    EXPECT_EQ(pane.selectedBusinessPageAlbums()->currentText(), "event");
    EXPECT_EQ(d().string("BUSINESS_FACEBOOK_ALBUM"), "event");

    // A stored album the page has stays chosen.
    d().set("BUSINESS_FACEBOOK_ALBUM", "Party");
    pane.loadFBPageAlbums();
    EXPECT_EQ(pane.selectedBusinessPageAlbums()->currentText(), "Party");
    EXPECT_EQ(d().string("BUSINESS_FACEBOOK_ALBUM"), "Party");
}

TEST_F(SharingPane, TypedAlbumNamesKeepTheirCase) {
    link();
    pages = {{"data", {{{"id", "8"}, {"name", "Venue"}, {"access_token", "t8"}}}}};
    albums = {{"data", {{{"id", "a1"}, {"name", "event"}, {"can_upload", true}}}}};
    pane.view()->show();
    // The completion follows the keyboard focus, which an active window has;
    // with no window manager to give it, the window takes it itself.
    pane.view()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(pane.view()));
    pane.loadFBPagesFromAccount();
    auto* box = pane.selectedBusinessPageAlbums();
    ASSERT_TRUE(box->isEnabled());
    auto* edit = box->lineEdit();
    ASSERT_TRUE(edit);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, "Event");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_TRUE(waitUntil([&] { return d().string("BUSINESS_FACEBOOK_ALBUM") == "Event"; }));
    EXPECT_EQ(box->currentText(), "Event");
    // Typing the existing name in its own case still picks it.
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, "eve");
    EXPECT_EQ(edit->text(), "event") << "completion offers the album as it is spelled";
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_TRUE(waitUntil([&] { return d().string("BUSINESS_FACEBOOK_ALBUM") == "event"; }));
}

TEST_F(SharingPane, OpeningTheWindowOnThisPaneLoadsThePagesOnce) {
    link();
    pane.viewWillAppear();
    pane.perfWindowDidOpended();
    ASSERT_TRUE(waitUntil([&] { return pane.pageLoads() > 0; }));
    EXPECT_EQ(d().string("BUSINESS_FB_LOGIN_BUTTON_TITLE"), "LOGOUT (Ada Lovelace)");
    // A second load would come from a timer started with the first: one
    // started now, as long as the pane waits, fires after it.
    bool settled = false;
    QTimer::singleShot(100, [&] { settled = true; });
    ASSERT_TRUE(waitUntil([&] { return settled; }));
    EXPECT_EQ(pane.pageLoads(), 1);
}

TEST_F(SharingPane, LogOutForgetsTheAccountButKeepsTheAlbum) {
    link();
    pages = {{"data", nlohmann::json::array()}};
    d().set("BUSINESS_FACEBOOK_ALBUM", "Party");
    pane.loadFBPagesFromAccount();
    pane.linkBusinessFacebookAccountButtonDidClicked();  // linked: logs out
    EXPECT_EQ(pane.businessPagesList()->count(), 0);
    for (auto* key : {"BUSINESS_FB_TOKEN", "BUSINESS_FB_ID", "SELECTED_BUSINESS_FB_PAGE", "SELECTED_BUSINESS_FB_PAGE_ID",
                      "SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN"})
        EXPECT_FALSE(d().object(key).has_value()) << key;
    EXPECT_EQ(d().string("IS_BUSINESS_FB_CONFIGURED"), "0");
    EXPECT_EQ(d().string("BUSINESS_FB_LOGIN_BUTTON_TITLE"), "Login");
    EXPECT_EQ(d().string("BUSINESS_FACEBOOK_ALBUM"), "Party");
}

TEST(SharingPaneText, TrimmingAndAlbumNames) {
    EXPECT_EQ(SharingPreferencesViewController::trimmedFieldText("  party!!"), "  party");
    EXPECT_EQ(SharingPreferencesViewController::trimmedFieldText("a#b"), "a#b");
    EXPECT_EQ(SharingPreferencesViewController::trimmedFieldText("!!!"), "");
    EXPECT_TRUE(SharingPreferencesViewController::isValidAlbumName(""));
    EXPECT_TRUE(SharingPreferencesViewController::isValidAlbumName("Party 2026_a-b"));
    for (auto bad : {"_party", " party", "-party", "party!", "par/ty"})
        EXPECT_FALSE(SharingPreferencesViewController::isValidAlbumName(bad)) << bad;
}
