// E-mail and SMS sending against loopback servers that record raw requests.
#include <QUrl>

#include <atomic>
#include <thread>

#include "SharingTestSupport.h"
#include "base/Crypto.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "sharing/EmailSharing.h"
#include "sharing/SMSSharing.h"
#include "sharing/SendGrid.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::Reply;

// Records the callbacks with the thread they arrived on.
struct Recorder : FlashwrenSharingBaseDelegate {
    std::vector<std::string> calls;
    std::vector<std::thread::id> threads;
    void add(std::string call) {
        calls.push_back(std::move(call));
        threads.push_back(std::this_thread::get_id());
    }
    void sharingWillStartFor(const QString& s) override { add("start " + s.toStdString()); }
    void sharingDidFinishedFor(const QString& s, const QString& m) override {
        add("done " + s.toStdString() + ": " + m.toStdString());
    }
    void sharingDidFailedFor(const QString& s, const QString& m) override {
        add("failed " + s.toStdString() + ": " + m.toStdString());
    }
};

const char* kParseMultipart = R"(
import sys, json, email, email.policy, base64
body = sys.stdin.buffer.read()
head = b'Content-Type: multipart/form-data; boundary=GLIMMERLY_BOUNDARY_STRING\r\nMIME-Version: 1.0\r\n\r\n'
msg = email.message_from_bytes(head + body, policy=email.policy.HTTP)
parts = []
for part in msg.iter_parts():
    parts.append({'name': part.get_param('name', header='content-disposition'),
                  'filename': part.get_filename(), 'type': part.get_content_type(),
                  'data': base64.b64encode(part.get_payload(decode=True)).decode()})
print(json.dumps({'defects': len(msg.defects), 'parts': parts}))
)";

class EmailSharingTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        set("SendGridBaseURL", server.baseUrl() + "/");
        set("SendGridAPIUser", "flashwrenmail");
        set("SendGridAPIKey", "k3y&k3y=");
        set("NoReplyEmailAddress", "no-reply@booth.test");
        observer = base::NotificationCenter::defaultCenter().addObserver(
            kFinishSendingEmailNotification, nullptr, nullptr, [this](const base::Notification&) { ++finished; });
    }
    void TearDown() override {
        base::NotificationCenter::defaultCenter().removeObserver(observer);
        SharingTest::TearDown();
    }
    EmailMessage message(const std::string& photo) {
        EmailMessage m;
        m.to = "guest@example.com";
        m.replyto = "studio@example.com";
        m.subject = "Your photo";
        m.body = "<p>Danke schön & enjoy</p>";
        m.from = "never-sent@example.com";
        m.pathOfImageToSend = QUrl::fromLocalFile(QString::fromStdString(photo));
        return m;
    }
    // Sends and waits for the outcome and the notification.
    void send(const EmailMessage& m, std::shared_ptr<Recorder> recorder) {
        EmailSharing::create(recorder)->sendEmailUsingSendGrid(m);
        ASSERT_TRUE(pumpUntil([&] { return recorder->calls.size() >= 2 && finished >= 1; }));
        pumpFor(std::chrono::milliseconds(20));
    }
    LoopbackServer server;
    std::atomic<int> finished{0};
    base::NotificationCenter::ObserverId observer = 0;
};

TEST_F(EmailSharingTest, MultipartBodyIsExactAndParsesWithThePhotoUnchanged) {
    const std::string photo = awkwardBytes();
    server.enqueue(Reply{200, {{"Content-Type", "application/json"}}, R"({"message":"success"})"});
    auto recorder = std::make_shared<Recorder>();
    send(message(writeFile("prints/IMG 1.jpg", photo)), recorder);

    EXPECT_EQ(recorder->calls, (std::vector<std::string>{"start Email", "done Email: E-mail Sent..."}));
    for (auto id : recorder->threads) EXPECT_EQ(id, std::this_thread::get_id()) << "outcomes arrive on the main queue";
    EXPECT_EQ(finished, 1);
    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.path, "/api/mail.send.json");
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data; boundary=GLIMMERLY_BOUNDARY_STRING");

    std::string expected;
    auto field = [&](const std::string& name, const std::string& value) {
        expected += "--GLIMMERLY_BOUNDARY_STRING\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                    value + "\r\n";
    };
    field("api_user", "flashwrenmail");
    field("api_key", "k3y&k3y=");
    field("to", "guest@example.com");
    field("from", "no-reply@booth.test");
    field("fromname", "studio@example.com");
    field("replyto", "studio@example.com");
    field("subject", "Your photo");
    field("html", "<p>Danke schön & enjoy</p>");
    field("x-smtpapi", "{ \"category\" : \"flashwren_mac\" }");
    expected += "--GLIMMERLY_BOUNDARY_STRING\r\nContent-Disposition: form-data; name=\"files[photo.jpg]\"; "
                "filename=\"photo.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n" +
                photo + "\r\n--GLIMMERLY_BOUNDARY_STRING--\r\n";
    EXPECT_TRUE(r.body == expected) << "the body differs from the expected bytes";

    auto parsed = nlohmann::json::parse(runPython(kParseMultipart, r.body));
    EXPECT_EQ(parsed["defects"], 0);
    ASSERT_EQ(parsed["parts"].size(), 10u);
    const auto& file = parsed["parts"][9];
    EXPECT_EQ(file["name"], "files[photo.jpg]");
    EXPECT_EQ(file["filename"], "photo.jpg");
    EXPECT_EQ(file["type"], "image/jpeg");
    EXPECT_TRUE(base::base64Decode(file["data"].get<std::string>()) == photo);
    EXPECT_EQ(base::base64Decode(parsed["parts"][7]["data"].get<std::string>()), "<p>Danke schön & enjoy</p>");
}

TEST_F(EmailSharingTest, ServiceRejectionsAndBadRepliesFailOnce) {
    const std::string photo = writeFile("p.jpg", "jpeg");
    struct Case {
        std::string reply;
        std::string outcome;
    } cases[] = {
        {R"({"message":"success","errors":[]})", "done Email: E-mail Sent..."},
        {R"({"message":"error","errors":["Bad address","Second"]})", "failed Email: Bad address"},
        {R"({"message":"error","errors":"Bad"})", "failed Email: Invalid e-mail service response received."},
        {R"(["not", "an object"])", "failed Email: Invalid e-mail service response received."},
        {"<html>502 Bad Gateway</html>", "failed Email: Internet connection not available"},
    };
    for (const auto& c : cases) {
        finished = 0;
        server.enqueue(Reply{502, {}, c.reply});
        auto recorder = std::make_shared<Recorder>();
        send(message(photo), recorder);
        EXPECT_EQ(recorder->calls, (std::vector<std::string>{"start Email", c.outcome})) << c.reply;
        EXPECT_EQ(finished, 1);
    }
}

TEST_F(EmailSharingTest, UnreadablePhotoFailsWithoutSending) {
    auto recorder = std::make_shared<Recorder>();
    send(message(home.path() + "/missing.jpg"), recorder);
    EXPECT_EQ(recorder->calls.back(), "failed Email: The file to attach could not be read.");
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(EmailSharingTest, WithoutADelegateTheMailIsStillSent) {
    EmailSharing::create()->sendEmailUsingSendGrid(message(writeFile("p.jpg", "jpeg")));
    ASSERT_TRUE(pumpUntil([&] { return finished == 1; }));
    EXPECT_EQ(server.requestCount(), 1u);
}

// SMS ---------------------------------------------------------------------------

const char* kParseForm = R"(
import sys, json, urllib.parse
print(json.dumps(urllib.parse.parse_qs(sys.stdin.read(), keep_blank_values=True, strict_parsing=True)))
)";

class SMSSharingTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        set("TwilioBaseURL", server.baseUrl());
        set("TWILIO_ACCOUNT_SID", "AC123");
        set("TWILIO_AUTH_TOKEN", "s3cret:token");
        set("FROM_TWILIO_NUMBER", "15550001111");
    }
    std::vector<std::string> send(const QString& number, const QString& url) {
        auto recorder = std::make_shared<Recorder>();
        SMSSharing::create(recorder)->sendSMSToNumber(number, url);
        EXPECT_TRUE(pumpUntil([&] { return recorder->calls.size() >= 2; }));
        return recorder->calls;
    }
    LoopbackServer server;
};

TEST_F(SMSSharingTest, EveryValueSurvivesAStandardFormParser) {
    set("SMS_SHARING_TEXT", "Smile & say cheese = 100% + ❤");
    server.enqueue(Reply{201, {}, R"({"sid":"SM1","status":"queued"})"});
    auto calls = send("+4915123456", "http://flw.io/p/Ab12?x=1&y=2");
    EXPECT_EQ(calls.back(), "done SMS: SMS Sent...");
    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.path, "/2010-04-01/Accounts/AC123/Messages.json");
    EXPECT_EQ(r.header("Authorization"), "Basic " + base::base64Encode("AC123:s3cret:token"));
    auto form = nlohmann::json::parse(runPython(kParseForm, r.body));
    EXPECT_EQ(form["To"][0], "+4915123456");
    EXPECT_EQ(form["From"][0], "+15550001111");
    EXPECT_EQ(form["Body"][0], "Smile & say cheese = 100% + ❤ http://flw.io/p/Ab12?x=1&y=2");
}

TEST_F(SMSSharingTest, OnlyAnAcceptedMessageCountsAsSent) {
    struct Case {
        long status;
        std::string reply;
        bool sent;
        std::string failure;
    } cases[] = {
        {201, R"({"sid":"SM1","status":"accepted"})", true, ""},
        {201, R"({"sid":"SM1","status":"sending"})", true, ""},
        {201, R"({"sid":"SM1","status":"failed","message":"Carrier refused"})", false, "Carrier refused"},
        {400, R"({"code":21211,"message":"The 'To' number is not valid."})", false, "The 'To' number is not valid."},
        {200, R"({"status":"queued"})", false, ""},
        {200, R"("queued")", false, "Invalid Twilio response received."},
    };
    for (const auto& c : cases) {
        QString failure;
        EXPECT_EQ(SMSSharing::replyMeansSent(c.status, nlohmann::json::parse(c.reply), &failure), c.sent) << c.reply;
        if (!c.sent) {
            EXPECT_EQ(failure.toStdString(), c.failure) << c.reply;
        }
    }
    server.enqueue(Reply{200, {}, "<html>oops</html>"});
    EXPECT_EQ(send("123456", "http://x/y").back(), "failed SMS: Invalid Twilio response received.");
    Reply drop;
    drop.dropConnection = true;
    server.enqueue(drop);
    EXPECT_EQ(send("123456", "http://x/y").back(), "failed SMS: Invalid Twilio response received.");
}

TEST_F(SMSSharingTest, MissingSettingsRefuseBeforeAnyTraffic) {
    set("TWILIO_AUTH_TOKEN", "");
    EXPECT_EQ(send("123456", "http://x/y").back(), "failed SMS: Invalid twilio settings.");
    EXPECT_EQ(server.requestCount(), 0u);
}

}  // namespace
