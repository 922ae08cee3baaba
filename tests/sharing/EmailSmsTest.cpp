// E-mail and SMS sending against loopback servers that record raw requests.
#include <QUrl>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

#include "SharingTestSupport.h"
#include "base/Crypto.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "sharing/EmailSharing.h"
#include "sharing/SMSSharing.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::Reply;
using Calls = std::vector<std::string>;

// Records the callbacks; every one must arrive on the (pumped) main queue.
struct Recorder : FlashwrenSharingBaseDelegate {
    Calls calls;
    void add(std::string call) {
        EXPECT_EQ(std::this_thread::get_id(), mainThread) << call;
        calls.push_back(std::move(call));
    }
    void sharingWillStartFor(const QString& s) override { add("start " + s.toStdString()); }
    void sharingDidFinishedFor(const QString& s, const QString& m) override {
        add("done " + s.toStdString() + ": " + m.toStdString());
    }
    void sharingDidFailedFor(const QString& s, const QString& m) override {
        add("failed " + s.toStdString() + ": " + m.toStdString());
    }
    std::thread::id mainThread = std::this_thread::get_id();
};

const char* kParseMultipart = R"(
import sys, json, email, email.policy, base64
head = b'Content-Type: multipart/form-data; boundary=GLIMMERLY_BOUNDARY_STRING\r\nMIME-Version: 1.0\r\n\r\n'
msg = email.message_from_bytes(head + sys.stdin.buffer.read(), policy=email.policy.HTTP)
parts = [{'name': p.get_param('name', header='content-disposition'), 'filename': p.get_filename(),
          'type': p.get_content_type(), 'data': base64.b64encode(p.get_payload(decode=True)).decode()}
         for p in msg.iter_parts()]
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
        return {QUrl::fromLocalFile(QString::fromStdString(photo)), "never-sent@example.com", "studio@example.com",
                "guest@example.com", "Your photo", "<p>Danke schön & enjoy</p>"};
    }
    // Sends and waits for the outcome and the notification: exactly one each.
    Calls send(const EmailMessage& m, bool withDelegate = true) {
        finished = 0;
        auto recorder = std::make_shared<Recorder>();
        EmailSharing::create(withDelegate ? recorder : nullptr)->sendEmailUsingSendGrid(m);
        EXPECT_TRUE(pumpUntil([&] { return finished == 1 && (!withDelegate || recorder->calls.size() == 2); }));
        main.runPending();
        EXPECT_EQ(finished, 1);
        return recorder->calls;
    }
    LoopbackServer server;
    std::atomic<int> finished{0};
    base::NotificationCenter::ObserverId observer = 0;
};

TEST_F(EmailSharingTest, MultipartBodyIsExactAndParsesWithThePhotoUnchanged) {
    const std::string photo = awkwardBytes();
    server.enqueue(Reply{200, {}, R"({"message":"success"})"});
    EXPECT_EQ(send(message(writeFile("prints/IMG 1.jpg", photo))), (Calls{"start Email", "done Email: E-mail Sent..."}));
    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.path, "/api/mail.send.json");
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data; boundary=GLIMMERLY_BOUNDARY_STRING");

    std::string expected;
    for (auto [name, value] : {std::pair{"api_user", "flashwrenmail"}, {"api_key", "k3y&k3y="},
                               {"to", "guest@example.com"}, {"from", "no-reply@booth.test"},
                               {"fromname", "studio@example.com"}, {"replyto", "studio@example.com"},
                               {"subject", "Your photo"}, {"html", "<p>Danke schön & enjoy</p>"},
                               {"x-smtpapi", "{ \"category\" : \"flashwren_mac\" }"}})
        expected += std::string("--GLIMMERLY_BOUNDARY_STRING\r\nContent-Disposition: form-data; name=\"") + name +
                    "\"\r\n\r\n" + value + "\r\n";
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

TEST_F(EmailSharingTest, RejectionsBadRepliesAndUnreadablePhotosFailOnce) {
    const std::string photo = writeFile("p.jpg", "jpeg");
    for (auto [status, reply, outcome] : {
             std::tuple{200, R"({"message":"success","errors":[]})", "done Email: E-mail Sent..."},
             {202, R"({"message":"success"})", "done Email: E-mail Sent..."},
             {200, R"({"message":"error","errors":["Bad address","Second"]})", "failed Email: Bad address"},
             {200, R"({"message":"error","errors":"Bad"})", "failed Email: Invalid e-mail service response received."},
             {200, R"(["not an object"])", "failed Email: Invalid e-mail service response received."},
             {200, "<html>502 Bad Gateway</html>", "failed Email: The mail service's answer could not be read."},
             // A refusal by status is a failure whatever its body says.
             {503, R"({"message":"success"})", "failed Email: The mail service answered with HTTP status 503."},
             {500, "{}", "failed Email: The mail service answered with HTTP status 500."},
             {502, "<html>502 Bad Gateway</html>", "failed Email: The mail service answered with HTTP status 502."},
             {400, R"({"message":"error","errors":["Bad username"]})",
              "failed Email: The mail service answered with HTTP status 400: Bad username"},
             {301, "", "failed Email: The mail service answered with HTTP status 301."}}) {
        server.enqueue(Reply{status, {}, reply});
        EXPECT_EQ(send(message(photo)), (Calls{"start Email", outcome})) << status << " " << reply;
    }
    EXPECT_EQ(send(message(home.path() + "/missing.jpg")).back(), "failed Email: The file to attach could not be read.");
    // The row says what happened, not that the internet is gone.
    LoopbackServer closed;
    set("SendGridBaseURL", closed.baseUrl());
    closed.stop();
    const std::string refused = send(message(photo)).back();
    EXPECT_TRUE(refused.starts_with("failed Email: The mail service could not be reached: ")) << refused;
    EXPECT_NE(refused.find("127.0.0.1"), std::string::npos) << refused;
    set("SendGridBaseURL", server.baseUrl() + "/");
    EXPECT_EQ(server.requestCount(), 11u);
    send(message(photo), false);  // no delegate: still sent, still announced
    EXPECT_EQ(server.requestCount(), 12u);
}

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
    std::string send(const QString& number, const QString& url) {
        auto recorder = std::make_shared<Recorder>();
        SMSSharing::create(recorder)->sendSMSToNumber(number, url);
        EXPECT_TRUE(pumpUntil([&] { return recorder->calls.size() == 2; }));
        return recorder->calls.back();
    }
    LoopbackServer server;
};

TEST_F(SMSSharingTest, EveryValueSurvivesAStandardFormParser) {
    set("SMS_SHARING_TEXT", "Smile & say cheese = 100% + ❤");
    server.enqueue(Reply{201, {}, R"({"sid":"SM1","status":"queued"})"});
    EXPECT_EQ(send("+4915123456", "http://flw.io/p/Ab12?x=1&y=2"), "done SMS: SMS Sent...");
    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.target, "/2010-04-01/Accounts/AC123/Messages.json");
    EXPECT_EQ(r.header("Authorization"), "Basic " + base::base64Encode("AC123:s3cret:token"));
    auto form = nlohmann::json::parse(runPython(kParseForm, r.body));
    EXPECT_EQ(form["To"][0], "+4915123456");
    EXPECT_EQ(form["From"][0], "+15550001111");
    EXPECT_EQ(form["Body"][0], "Smile & say cheese = 100% + ❤ http://flw.io/p/Ab12?x=1&y=2");
}

TEST_F(SMSSharingTest, OnlyAnAcceptedMessageCountsAsSent) {
    for (auto [status, reply, outcome] : {
             std::tuple{201, R"({"sid":"SM1","status":"sending"})", "done SMS: SMS Sent..."},
             {201, R"({"sid":"SM1","status":"failed","message":"Carrier refused"})", "failed SMS: Carrier refused"},
             {400, R"({"code":21211,"message":"The 'To' number is not valid."})",
              "failed SMS: The 'To' number is not valid."},
             {200, R"({"status":"queued"})", "failed SMS: "},
             {200, "<html>oops</html>", "failed SMS: Invalid Twilio response received."}}) {
        server.enqueue(Reply{status, {}, reply});
        EXPECT_EQ(send("123456", "http://x/y"), outcome) << reply;
    }
    Reply drop;
    drop.dropConnection = true;
    server.enqueue(drop);
    // The whole request was in: the message may be on its way.
    EXPECT_EQ(send("123456", "http://x/y"),
              "failed SMS: No answer from the SMS service: the connection ended after the request was sent (Empty "
              "reply from server).");

    LoopbackServer closed;
    set("TwilioBaseURL", closed.baseUrl());
    closed.stop();
    const std::string refused = send("123456", "http://x/y");
    EXPECT_TRUE(refused.starts_with("failed SMS: The SMS service could not be reached: ")) << refused;

    set("TWILIO_AUTH_TOKEN", "");
    EXPECT_EQ(send("123456", "http://x/y"), "failed SMS: Invalid twilio settings.");
    EXPECT_EQ(server.requestCount(), 6u) << "no traffic without settings";
}

}  // namespace
