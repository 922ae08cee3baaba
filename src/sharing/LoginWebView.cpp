#include "sharing/LoginWebView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <QLayout>
#include <QList>
#include <QWebEnginePage>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QWidget>

namespace {

std::function<void(QWebEnginePage*)>& pageSetup() {
    static std::function<void(QWebEnginePage*)> setup;
    return setup;
}

// The profiles of the log-in views alive now (interface thread only).
QList<QPointer<QWebEngineProfile>>& liveProfiles() {
    static QList<QPointer<QWebEngineProfile>> profiles;
    return profiles;
}

}  // namespace

void LoginWebView::setPageSetup(std::function<void(QWebEnginePage*)> setup) { pageSetup() = std::move(setup); }

void LoginWebView::clearCookiesAndCache() {
    auto& profiles = liveProfiles();
    profiles.removeAll(nullptr);
    for (const QPointer<QWebEngineProfile>& profile : profiles) {
        profile->cookieStore()->deleteAllCookies();
        profile->clearHttpCache();
    }
}

LoginWebView::LoginWebView(QWidget* container) : QObject(container) {
    // A profile without a storage name is off the record: cookies, cache and
    // local storage live in memory and go with the profile.
    profile_ = new QWebEngineProfile(this);
    profile_->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    liveProfiles().removeAll(nullptr);
    liveProfiles().append(profile_);
    view_ = new QWebEngineView(container);
    auto* page = new QWebEnginePage(profile_, view_);
    view_->setPage(page);
    if (pageSetup()) pageSetup()(page);
    if (container->layout()) container->layout()->addWidget(view_);
    connect(page, &QWebEnginePage::urlChanged, this, &LoginWebView::urlCommitted);
    connect(page, &QWebEnginePage::loadFinished, this, [this, page](bool ok) { emit loadFinished(page->url(), ok); });
}

LoginWebView::~LoginWebView() { cleanup(); }

QWebEnginePage* LoginWebView::page() const { return view_ ? view_->page() : nullptr; }

void LoginWebView::load(const QUrl& url) {
    if (view_) view_->load(url);
}

void LoginWebView::evaluate(const QString& script, std::function<void(const QString&)> done) {
    if (!page()) {
        done({});
        return;
    }
    QPointer<LoginWebView> self(this);
    page()->runJavaScript(script, [self, done](const QVariant& value) {
        if (self) done(value.toString());
    });
}

void LoginWebView::cleanup() {
    if (view_) {
        QWebEngineView* view = view_;
        view_ = nullptr;
        view->page()->disconnect(this);
        view->setHtml(QString());
        view->stop();
        view->hide();
        // Deferred: this may run inside one of the page's own signals. The
        // page is deleted before its profile (deferred deletes keep order).
        view->deleteLater();
    }
    if (profile_) {
        QWebEngineProfile* profile = profile_;
        profile_ = nullptr;
        liveProfiles().removeAll(profile);
        profile->deleteLater();
    }
}

QLayout* layOutLoginPanel(QWidget* content, QWidget* panel, QWidget* webArea, QLayout* controls) {
    auto* inner = new QVBoxLayout(panel);
    inner->setContentsMargins(16, 16, 16, 16);
    inner->addWidget(webArea, 1);
    inner->addLayout(controls);

    auto* centre = new QVBoxLayout(content);
    centre->addStretch();
    auto* middle = new QHBoxLayout;
    middle->addStretch();
    middle->addWidget(panel, 1);
    middle->addStretch();
    centre->addLayout(middle, 1);
    centre->addStretch();
    return centre;
}
