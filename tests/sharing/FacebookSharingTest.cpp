// Facebook page and wall posts against a Graph API played on loopback.
#include <QWidget>
#include <nlohmann/json.hpp>

#include <mutex>

#include "SharingTestSupport.h"
#include "WebViewTestSupport.h"
#include "core/Models.h"
#include "sharing/FacebookSharing.h"
#include "sharing/SocialSharingService.h"

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

namespace {

using Outcomes = SharingOutcomes;

class FacebookPageTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        FacebookSharing::setThrottleClock(clock);
        FacebookSharing::resetThrottle();
        set("FacebookGraphURL", server.baseUrl() + "/");
        set("SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN", "PAGETOK");
        photo = writeFile("prints/IMG_9.jpg", awkwardBytes());
        server.setHandler([this](const RecordedRequest& r) {
            std::lock_guard lock(mutex);
            if (r.method == "GET" && r.path == "/v2.2/PAGE/albums") {
                if (r.query.find("after=2") != std::string::npos) return Reply{200, {}, albumsPage2};
                return Reply{albumsStatus, {}, albumsPage1};
            }
            if (r.method == "POST" && r.path == "/v2.2/PAGE/albums") return Reply{200, {}, R"({"id":"99"})"};
            if (r.method == "POST" && r.path.ends_with("/photos")) return Reply{200, {}, R"({"id":"5","post_id":"6"})"};
            return Reply{404, {}, "{}"};
        });
    }
    void TearDown() override {
        FacebookSharing::setThrottleClock(nullptr);
        FacebookSharing::resetThrottle();
        SharingTest::TearDown();
    }
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) {
        std::vector<RecordedRequest> out;
        for (auto& r : server.requests())
            if (r.method == method && r.path == path) out.push_back(r);
        return out;
    }
    std::vector<std::string> post(const QString& album = "Ava & Noah") {
        auto outcomes = std::make_shared<Outcomes>();
        FacebookSharing::initWithFBToken("USERTOK", outcomes)
            ->postOnFBPage("PAGE", album, "Our party", QUrl::fromLocalFile(QString::fromStdString(photo)));
        EXPECT_TRUE(pumpUntil([&] { return outcomes->ended(); }));
        return outcomes->events;
    }

    LoopbackServer server;
    std::mutex mutex;
    int albumsStatus = 200;
    std::string albumsPage1;
    std::string albumsPage2 = R"({"data":[]})";
    std::string photo;
};

}  // namespace

TEST_F(FacebookPageTest, FindsTheAlbumOnALaterPageAndUploadsWithThePageToken) {
    albumsPage1 = R"({"data":[{"name":"ava & noah","id":"1"}],"paging":{"next":")" + server.baseUrl() +
                  R"(/v2.2/PAGE/albums?access_token=USERTOK&after=2"}})";
    albumsPage2 = R"({"data":[{"name":"Other","id":"2"},{"name":"Ava & Noah","id":"77"}]})";
    RequestLimitsSeen seen;
    EXPECT_EQ(post(), (std::vector<std::string>{"start Facebook", "finished Facebook: Image Shared"}));
    seen.expectServiceLimits("/photos", std::chrono::seconds(30));

    auto lookups = requests("GET", "/v2.2/PAGE/albums");
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[0].query, "access_token=USERTOK");
    EXPECT_TRUE(requests("POST", "/v2.2/PAGE/albums").empty());
    auto uploads = requests("POST", "/v2.2/77/photos");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].query, "access_token=PAGETOK");
    EXPECT_EQ(uploads[0].header("Content-Type").value_or(""), "multipart/form-data; boundary=FLASHWREN_BOUNDARY_STRING");
    const std::string& body = uploads[0].body;
    EXPECT_EQ(body.rfind("--FLASHWREN_BOUNDARY_STRING\r\nContent-Disposition: form-data; name=\"message\"\r\n\r\n"
                         "Our party\r\n--FLASHWREN_BOUNDARY_STRING\r\nContent-Disposition: form-data; name=\"source\"; "
                         "filename=\"source.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n",
                         0),
              0u);
    EXPECT_TRUE(body.ends_with("Content-Type: image/jpeg\r\n\r\n" + awkwardBytes() +
                               "\r\n--FLASHWREN_BOUNDARY_STRING--\r\n"));
}

TEST_F(FacebookPageTest, AnAlbumDifferingOnlyInCaseIsCreatedAnew) {
    albumsPage1 = R"({"data":[{"name":"AVA & NOAH","id":"1"}]})";
    EXPECT_EQ(post().back(), "finished Facebook: Image Shared");
    auto creations = requests("POST", "/v2.2/PAGE/albums");
    ASSERT_EQ(creations.size(), 1u);
    EXPECT_EQ(creations[0].query, "access_token=PAGETOK");
    EXPECT_EQ(creations[0].body, "--FLASHWREN_BOUNDARY_STRING\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n"
                                 "Ava & Noah\r\n--FLASHWREN_BOUNDARY_STRING--\r\n");
    EXPECT_EQ(requests("POST", "/v2.2/99/photos").size(), 1u);
}

TEST_F(FacebookPageTest, AFailedAlbumLookupFailsTheShareCountsAndCreatesNothing) {
    albumsStatus = 400;
    albumsPage1 = R"({"error":{"message":"(#100) Unknown page","type":"GraphMethodException","code":100}})";
    EXPECT_EQ(post().back(), "failed Facebook: (#100) Unknown page");
    EXPECT_EQ(FacebookSharing::throttleErrorCount(), 1);
    EXPECT_TRUE(requests("POST", "/v2.2/PAGE/albums").empty());

    server.stop();
    EXPECT_EQ(post().back(), "failed Facebook: Unable to read the albums of the Facebook page.");
    EXPECT_EQ(FacebookSharing::throttleErrorCount(), 2);
}

TEST_F(FacebookPageTest, MissingInformationOrPageTokenFailsWithItsMessage) {
    albumsPage1 = R"({"data":[]})";
    auto outcomes = std::make_shared<Outcomes>();
    FacebookSharing::initWithFBToken("USERTOK", outcomes)->postOnFBPage("PAGE", "", "m", QUrl::fromLocalFile("/x.jpg"));
    ASSERT_TRUE(pumpUntil([&] { return outcomes->ended(); }));
    EXPECT_EQ(outcomes->events, (std::vector<std::string>{
                                    "failed Facebook: Can't upload image to FB Page album as nacessary information is "
                                    "not available"}));
    set("SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN", "");
    EXPECT_EQ(post().back(), "failed Facebook: Please relogin to facebook.");
}

TEST_F(FacebookPageTest, ThrottleOpensAtTheSixthCountedErrorForFifteenMinutes) {
    for (int i = 0; i < 5; ++i) FacebookSharing::updateFBErrorCountAndDate();
    EXPECT_TRUE(FacebookSharing::checkIfFBCallCanBeMade());
    // A good reply in between starts the count again.
    EXPECT_FALSE(FacebookSharing::checkFBResponseForErorrMessage(R"({"id":"1"})"));
    EXPECT_EQ(FacebookSharing::throttleErrorCount(), 0);
    for (int i = 0; i < 5; ++i) FacebookSharing::updateFBErrorCountAndDate();
    advance(std::chrono::seconds(100));
    EXPECT_TRUE(FacebookSharing::checkFBResponseForErorrMessage("not json"));
    EXPECT_FALSE(FacebookSharing::checkIfFBCallCanBeMade());
    advance(std::chrono::seconds(899));
    EXPECT_FALSE(FacebookSharing::checkIfFBCallCanBeMade());
    advance(std::chrono::seconds(1));
    EXPECT_TRUE(FacebookSharing::checkIfFBCallCanBeMade());
    EXPECT_EQ(FacebookSharing::throttleErrorCount(), 0);
}

TEST_F(FacebookPageTest, ShareQueueSkipsPageRowsWhileThrottledAndFailsThemWithoutAToken) {
    SocialSharingService::initSocialSharingService();
    auto* queue = SocialSharingService::shared();
    auto row = SocialServiceHelper::trackShareOfType(SharingTypeFacebookPage, 0, 1, 0,
                                                     QString::fromStdString(photo), "");
    ASSERT_TRUE(row);
    auto runOnce = [&] {
        queue->startSocialServiceExecution();
        ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }));
    };
    runOnce();
    auto failed = SharingModel::loadWithID(row->ID);
    EXPECT_EQ(failed->lastError, "FB Page sharing is enabled but Facebook Account is not configured.");
    EXPECT_EQ(failed->done, 0);

    set("BUSINESS_FB_TOKEN", "USERTOK");
    set("SELECTED_BUSINESS_FB_PAGE_ID", "PAGE");
    set("SELECTED_BUSINESS_FB_PAGE", "Ava Photo Co");
    set("BUSINESS_FACEBOOK_ALBUM", "Gala");
    for (int i = 0; i < 6; ++i) FacebookSharing::updateFBErrorCountAndDate();
    runOnce();
    auto held = SharingModel::loadWithID(row->ID);
    EXPECT_EQ(held->lastError, failed->lastError);
    EXPECT_EQ(held->dateLastTried, failed->dateLastTried);
    EXPECT_TRUE(server.requests().empty());

    FacebookSharing::resetThrottle();
    albumsPage1 = R"({"data":[{"name":"Gala","id":"8"}]})";
    runOnce();
    auto sent = SharingModel::loadWithID(row->ID);
    EXPECT_EQ(sent->done, 1);
    EXPECT_EQ(sent->toField, "Ava Photo Co - Gala");
    EXPECT_EQ(requests("POST", "/v2.2/8/photos").size(), 1u);
}

TEST(FacebookErrors, GraphErrorsBecomeGuestMessages) {
    using nlohmann::json;
    auto message = [](const json& reply) { return FacebookSharing::getFBErrorMessageIfPresentFromResponse(reply); };
    EXPECT_EQ(message(json::parse(R"({"error":{"code":250,"message":"x"}})")).value_or(""),
              "Facebook Error: Permission is either not granted or has been removed.\n Please relogin to facebook.");
    EXPECT_EQ(message(json::parse(R"({"error":{"code":10}})")).value_or("").left(15), "Facebook Error:");
    const QString expired = "Facebook Access Expired: Please relogin to enable the access.";
    EXPECT_EQ(message(json::parse(R"({"error":{"code":190,"message":"x"}})")).value_or(""), expired);
    EXPECT_EQ(message(json::parse(R"({"error":{"code":1,"type":"OAuthException"}})")).value_or(""), expired);
    EXPECT_EQ(message(json::parse(R"({"error":{"code":1,"message":"Zoë's own words"}})")).value_or(""),
              QString::fromUtf8("Zoë's own words"));
    EXPECT_EQ(message(json::object()).value_or(""), "Invalid facebook response received.");
    EXPECT_EQ(message(json()).value_or(""), "Invalid facebook response received.");
    EXPECT_FALSE(message(json::parse(R"({"id":"5"})")));
    EXPECT_EQ(FacebookSharing::checkFBResponseForErorrMessage("").value_or(""),
              "Invalid facebook response received, may be Internet connection not available.");
}

namespace {

class FacebookWallTest : public WebViewTest {
protected:
    void SetUp() override {
        WebViewTest::SetUp();
        set("FacebookGraphURL", server.baseUrl() + "/");
        set("FacebookWebURL", server.baseUrl());
        photo = writeFile("prints/IMG_3.jpg", "jpeg-bytes");
        const std::string base = server.baseUrl();
        server.setHandler([this, base](const RecordedRequest& r) {
            std::lock_guard lock(mutex);
            if (r.path == "/oauth/authorize")
                return Reply{302, {{"Location", base + "/connect/login_success.html#" + redirect}}, ""};
            if (r.path == "//me") return Reply{meStatus, {}, me};
            if (r.path == "/v2.2/me/photos") return Reply{200, {}, R"({"id":"1"})"};
            return Reply{200, {{"Content-Type", "text/html"}}, "<html></html>"};
        });
    }
    std::vector<std::string> share(std::shared_ptr<FacebookSharing>* keep = nullptr) {
        auto outcomes = std::make_shared<Outcomes>();
        auto sharing = FacebookSharing::create(outcomes);
        if (keep) *keep = sharing;
        sharing->postOnFBWallWithText("Fun at the booth", QUrl::fromLocalFile(QString::fromStdString(photo)));
        sharing.reset();  // the attempt keeps itself alive
        EXPECT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
        return outcomes->events;
    }
    LoopbackServer server;
    std::mutex mutex;
    std::string redirect = "access_token=GUEST&expires_in=3600";
    int meStatus = 200;
    std::string me = R"({"first_name":"Zoë","last_name":"Ørsted"})";
    std::string photo;
};

}  // namespace

TEST_F(FacebookWallTest, LogsInReadsTheNameAndPostsWithTheGuestsToken) {
    std::shared_ptr<FacebookSharing> sharing;
    EXPECT_EQ(share(&sharing), (std::vector<std::string>{"start Facebook", "finished Facebook: Image Shared"}));
    EXPECT_EQ(sharing->userNameToWhomFileIsShared(), QString::fromUtf8("Zoë Ørsted"));
    std::vector<RecordedRequest> uploads;
    for (auto& r : server.requests())
        if (r.path == "/v2.2/me/photos") uploads.push_back(r);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].query, "access_token=GUEST");
    EXPECT_NE(uploads[0].body.find("name=\"message\"\r\n\r\nFun at the booth\r\n"), std::string::npos);
    // Forgotten as the log-in is cleaned up, just after the outcome.
    EXPECT_TRUE(pumpEventsUntil([&] { return !defaults().has(FacebookLogin::kTokenKey); }))
        << "the guest's token is not kept";
}

TEST_F(FacebookWallTest, ARefusedLogInOrAnUnreadableAccountIsAFailure) {
    redirect = "error_description=denied";
    EXPECT_EQ(share(), (std::vector<std::string>{"failed Facebook: Unable to share on Facebook, please try again."}));

    redirect = "access_token=GUEST&expires_in=0";
    meStatus = 500;
    me = "";
    EXPECT_EQ(share().back(), "failed Facebook: Unable to share on Facebook, please try again.");
    EXPECT_EQ(defaults().string("LAST_USED_FACEBOOK_LOGIN_NAME"), "Can't Load");
    for (auto& r : server.requests()) EXPECT_NE(r.path, "/v2.2/me/photos");
}

TEST_F(FacebookWallTest, OfflineTheShareFailsAtOnceWithoutALogInWindow) {
    setOnline(false);
    std::shared_ptr<FacebookSharing> sharing;
    EXPECT_EQ(share(&sharing), (std::vector<std::string>{"failed Facebook: No internet connection."}));
    settle();
    EXPECT_EQ(server.requestCount(), 0u) << "no log-in page was asked for";
    for (auto* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w->objectName() == "FacebookLoginWindow" && w->isVisible()) << "a log-in window is shown";

    // Back online, the same service logs in as usual.
    setOnline(true);
    EXPECT_EQ(share(), (std::vector<std::string>{"start Facebook", "finished Facebook: Image Shared"}));
}

// A page post that went out without an answer may be on the page: it is not
// posted again at the next run.
TEST_F(FacebookPageTest, AnUnansweredPagePostIsNotPostedAgainAtTheNextRun) {
    SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{std::chrono::seconds(1), std::chrono::seconds(1)});
    albumsPage1 = R"({"data":[{"name":"Gala","id":"8"}]})";
    server.enqueue(Reply{200, {}, albumsPage1});
    server.enqueue(Reply{200, {}, "{}", 20000});
    for (auto [key, value] : {std::pair{"BUSINESS_FB_TOKEN", "USERTOK"}, {"SELECTED_BUSINESS_FB_PAGE_ID", "PAGE"},
                              {"BUSINESS_FACEBOOK_ALBUM", "Gala"}})
        set(key, value);
    SocialSharingService::initSocialSharingService();
    auto* queue = SocialSharingService::shared();
    auto row = SocialServiceHelper::trackShareOfType(SharingTypeFacebookPage, 0, 1, 0, QString::fromStdString(photo), "");
    for (int run = 0; run < 2; ++run) {
        queue->startSocialServiceExecution();
        ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }, 15000));
    }
    EXPECT_EQ(SharingModel::loadWithID(row->ID)->lastError.toStdString(), "No answer from Facebook in 1 s.");
    EXPECT_EQ(requests("POST", "/v2.2/8/photos").size(), 1u);
    SharingRuntime::setRequestLimits(std::nullopt);
}
