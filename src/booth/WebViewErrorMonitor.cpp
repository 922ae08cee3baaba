#include "booth/WebViewErrorMonitor.h"

#include <QFile>
#include <QJsonDocument>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include "base/Log.h"
#include "kits/blackbox/Blackbox.h"

namespace {

// The message handler the kit's script posts to, over the page's web channel.
// Errors raised before the channel is up are kept and sent once it is.
const char* const kMessageHandler = R"JS(
(function() {
  var queue = [], handler = null;
  window.webkit = window.webkit || {};
  window.webkit.messageHandlers = window.webkit.messageHandlers || {};
  window.webkit.messageHandlers.blackbox = {
    postMessage: function(body) { if (handler) handler.postMessage(body); else queue.push(body); }
  };
  new QWebChannel(qt.webChannelTransport, function(channel) {
    handler = channel.objects.blackbox;
    queue.forEach(function(body) { handler.postMessage(body); });
    queue = [];
  });
})();
)JS";

}  // namespace

bool WebViewErrorMonitor::monitorErrorsForWebPage(QWebEnginePage* page) {
    if (!page) return false;
    QFile channelScript(":/qtwebchannel/qwebchannel.js");
    if (!channelScript.open(QIODevice::ReadOnly)) {
        spdlog::error("[Blackbox] Unable to monitor {}", page->url().toString().toStdString());
        return false;
    }
    auto* monitor = new WebViewErrorMonitor(page);
    auto* channel = page->webChannel();
    if (!channel) {
        channel = new QWebChannel(page);
        page->setWebChannel(channel);
    }
    channel->registerObject(QStringLiteral("blackbox"), monitor);

    QWebEngineScript script;
    script.setName(QStringLiteral("blackbox-error-monitor"));
    script.setInjectionPoint(QWebEngineScript::DocumentReady);
    script.setRunsOnSubFrames(false);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setSourceCode(QString::fromUtf8(channelScript.readAll()) + QString::fromUtf8(kMessageHandler) +
                         QString::fromStdString(Blackbox::webViewErrorMonitorScript()));
    page->scripts().insert(script);
    return true;
}

void WebViewErrorMonitor::postMessage(const QVariant& body) {
    // A dictionary reaches us as a map; anything else is passed on as what
    // it is, for the kit to refuse.
    nlohmann::json message;
    if (body.typeId() == QMetaType::QVariantMap) {
        auto parsed = nlohmann::json::parse(QJsonDocument::fromVariant(body).toJson().toStdString(), nullptr, false);
        if (!parsed.is_discarded()) message = parsed;
    } else if (body.canConvert<QString>()) {
        message = body.toString().toStdString();
    }
    Blackbox::sharedInstance().userContentController(message);
    emit messageHandled();
}
