#pragma once
// The crash kit's web-view error monitor on Qt WebEngine: a page gets the
// kit's monitor script (at document end, main frame, with the page's own
// onload and onerror kept and chained) and a "blackbox" message handler that
// hands each script error to the kit, which records it as a "javascript"
// exception. The kit itself knows no web engine.
#include <QObject>
#include <QVariant>

class QWebEnginePage;

class WebViewErrorMonitor : public QObject {
    Q_OBJECT
public:
    // Installs the monitor on `page` (before it loads); false, with the
    // kit's log line, when it cannot be installed.
    static bool monitorErrorsForWebPage(QWebEnginePage* page);

    // The page's window.webkit.messageHandlers.blackbox.postMessage(body).
    Q_INVOKABLE void postMessage(const QVariant& body);

signals:
    // After each message has been handed to the kit.
    void messageHandled();

private:
    using QObject::QObject;
};
