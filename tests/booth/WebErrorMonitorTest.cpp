// A script error in a web page the booth shows is recorded by the crash kit
// as one "javascript" exception, and the page's own error handler still runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TempDir.h"
#include "base/Crypto.h"
#include "booth/WebViewErrorMonitor.h"
#include "ChildProcess.h"
#include "kits/blackbox/BBXContextSetup.h"

namespace {

QApplication& webApp() {
    static int argc = 1;
    static char name[] = "test_booth";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = [] {
        // Root in a container has no user namespace for the renderer's sandbox.
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        return new QApplication(argc, argv);
    }();
    return *instance;
}

bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

std::string hex(const std::string& s) { return base::hexEncode(s); }

// The custom exceptions recorded in the report folder, oldest first.
std::vector<nlohmann::json> exceptions(const std::string& reportDir) {
    std::vector<nlohmann::json> found;
    for (const char* name : {"custom_exception_a.bbxrecord", "custon_exception_b.bbxrecord"}) {
        std::ifstream in(reportDir + "/" + name);
        for (std::string line; std::getline(in, line);) {
            auto value = nlohmann::json::parse(line, nullptr, false);
            if (value.is_object() && value.contains("exception")) found.push_back(value["exception"]);
        }
    }
    return found;
}

const char* const kPage = R"HTML(<!doctype html>
<html><head><script>
window.onerror = function(msg) { document.title = 'page saw: ' + msg; return false; };
window.onload = function() { setTimeout(function() { throw new Error('booth paper jam'); }, 0); };
</script></head><body>booth</body></html>)HTML";

TEST(WebErrorMonitor, AScriptErrorIsRecordedOnceAsJavascriptAndThePageHandlerStillRuns) {
    // The crash context is set up once a process: run where no other test
    // of this program has set it up already.
    if (!testsupport::ChildProcess::childMode()) {
        testsupport::ChildProcess fresh("web-errors");
        EXPECT_TRUE(fresh.succeeds(std::chrono::seconds(120))) << fresh.output();
        return;
    }
    webApp();
    static testsupport::TempDir reportDir;
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = reportDir.path().c_str();
    input.sessionId = "web-session";
    input.installId = "install";
    input.customExceptionsEnabled = true;
    input.maxCustomExceptions = 8;
    BBXContextInitialize(&input);

    QWebEngineProfile profile;
    auto* page = new QWebEnginePage(&profile);
    ASSERT_TRUE(WebViewErrorMonitor::monitorErrorsForWebPage(page));
    auto* monitor = page->findChild<WebViewErrorMonitor*>();
    ASSERT_NE(monitor, nullptr);
    int handled = 0;
    QObject::connect(monitor, &WebViewErrorMonitor::messageHandled, [&handled] { ++handled; });

    page->setHtml(QString::fromUtf8(kPage), QUrl("http://127.0.0.1/booth.html"));
    ASSERT_TRUE(pumpUntil([&] { return page->title().startsWith("page saw:"); })) << page->title().toStdString();
    EXPECT_TRUE(page->title().contains("booth paper jam")) << page->title().toStdString();
    ASSERT_TRUE(pumpUntil([&] { return handled >= 1; }));

    // A second message through the same handler: the channel keeps order, so
    // once it has arrived nothing more of the first error can follow.
    page->runJavaScript("window.webkit.messageHandlers.blackbox.postMessage({msg: 'second'});");
    ASSERT_TRUE(pumpUntil([&] { return handled >= 2; }));
    auto recorded = exceptions(reportDir.path());
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0]["type"], "javascript");
    EXPECT_EQ(recorded[0]["name"], hex("exception"));
    EXPECT_NE(recorded[0]["reason"].get<std::string>().find(hex("booth paper jam")), std::string::npos);
    EXPECT_FALSE(recorded[0].contains("frames"));
    EXPECT_EQ(recorded[1]["reason"], hex("second"));

    // A message that is not a dictionary records nothing.
    page->runJavaScript("window.webkit.messageHandlers.blackbox.postMessage('not a dictionary');");
    ASSERT_TRUE(pumpUntil([&] { return handled >= 3; }));
    EXPECT_EQ(exceptions(reportDir.path()).size(), 2u);
    delete page;
}

}  // namespace
