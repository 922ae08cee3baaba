#include "sharing/LoginWebView.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputMethod>
#include <QVBoxLayout>

#include <QLabel>
#include <QLayout>
#include <QList>
#include <QSocketNotifier>
#include <QStackedLayout>
#include <QTimer>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <QWidget>

#include <atomic>
#include <chrono>

#include <sys/syscall.h>
#include <unistd.h>

#include "core/OnScreenKeyboard.h"

namespace {

// Lets a profile's requests through until the profile is retired, and none
// after. A page that showed the previous guest's session lives on for a
// moment after the clearing (until its deferred delete, and in its renderer
// process longer), and on its own it still sends requests: whatever its
// scripts fetch. Those would carry that guest's cookies; once retired they
// go nowhere. The web engine asks a profile's interceptor only while the
// profile exists, so a retired profile stays until its renderer is gone.
class RetiringInterceptor : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void retire() { retired_ = true; }
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        if (retired_) info.block(true);
    }

private:
    std::atomic<bool> retired_{false};
};

// Stops every request of `profile` from now on.
void blockRequests(QWebEngineProfile* profile) {
    if (!profile) return;
    if (auto* interceptor = profile->findChild<RetiringInterceptor*>(QString(), Qt::FindDirectChildrenOnly))
        interceptor->retire();
}

std::function<void(QWebEnginePage*)>& pageSetup() {
    static std::function<void(QWebEnginePage*)> setup;
    return setup;
}

// The log-in views open now (interface thread only).
QList<QPointer<LoginWebView>>& liveViews() {
    static QList<QPointer<LoginWebView>> views;
    return views;
}

// Lets a page and then its profile go once control is back in the event
// loop (this may run inside one of the page's own signals): deferred deletes
// keep their order, and the profile must outlive its page. Neither keeps a
// parent, so neither goes earlier with one.
void retire(QWebEnginePage* page, QWebEngineProfile* profile) {
    if (page) {
        page->setParent(nullptr);
        page->triggerAction(QWebEnginePage::Stop);
        page->deleteLater();
    }
    if (profile) {
        profile->setParent(nullptr);
        profile->deleteLater();
    }
}

// Retires the profile of a guest who is done: from now on it sends no
// request and keeps no cookie. Its page goes at once. The profile stays
// until the page's renderer process has ended (a renderer serves one
// profile only) and what that process sent before has been handled, since
// the web engine asks a profile's interceptor only while the profile exists
// and would let a late request through without it; a minute at most when
// the process cannot be watched or never ends.
void retireGuest(QWebEnginePage* page, QWebEngineProfile* profile) {
    using namespace std::chrono_literals;
    const qint64 renderer = page ? page->renderProcessPid() : 0;
    retire(page, nullptr);
    if (!profile) return;
    blockRequests(profile);
    profile->cookieStore()->deleteAllCookies();
    profile->setParent(nullptr);
    QTimer::singleShot(1min, profile, [profile] { profile->deleteLater(); });
    const int exited =
        renderer > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(renderer), 0)) : -1;
    if (exited < 0) return;
    auto* watch = new QSocketNotifier(exited, QSocketNotifier::Read, profile);
    QObject::connect(watch, &QObject::destroyed, [exited] { ::close(exited); });
    QObject::connect(watch, &QSocketNotifier::activated, profile, [watch, profile] {
        watch->setEnabled(false);
        QTimer::singleShot(5s, profile, [profile] { profile->deleteLater(); });
    });
}

}  // namespace

void LoginWebView::setPageSetup(std::function<void(QWebEnginePage*)> setup) { pageSetup() = std::move(setup); }

void LoginWebView::clearCookiesAndCache() {
    auto& views = liveViews();
    views.removeAll(nullptr);
    // A copy: a page setup may open or close log-in views.
    const QList<QPointer<LoginWebView>> open = views;
    for (const QPointer<LoginWebView>& view : open)
        if (view) view->startAfresh();
}

LoginWebView::LoginWebView(QWidget* container) : QObject(container) {
    liveViews().removeAll(nullptr);
    liveViews().append(this);
    view_ = new QWebEngineView(container);
    view_->setPage(makePage());
    if (container->layout()) container->layout()->addWidget(view_);
    // A guest who put the keyboard away with its key wants the page whole:
    // the page's field gives up the focus, or the web engine would bring
    // the keyboard straight back as the page is laid out again for the
    // room the keyboard left. A tap on a field brings it back. The keyboard
    // also goes for a moment as the page moves the focus itself: that is
    // left alone.
    connect(QGuiApplication::inputMethod(), &QInputMethod::visibleChanged, this, [this] {
        if (QGuiApplication::inputMethod()->isVisible() || !view_ || !OnScreenKeyboard::lastTapWasOnKeyboard()) return;
        QWidget* focused = view_->window()->focusWidget();
        if (!focused || (focused != view_ && !view_->isAncestorOf(focused))) return;
        focused->clearFocus();
        // The field itself lets go too, so that a tap on it is a new focus
        // that brings the keyboard, not the return of an old one.
        if (QWebEnginePage* page = view_->page())
            page->runJavaScript(QStringLiteral("if (document.activeElement) document.activeElement.blur();"));
    });
}

QWebEnginePage* LoginWebView::makePage() {
    // A profile without a storage name is off the record: cookies, cache and
    // local storage live in memory and go with the profile.
    profile_ = new QWebEngineProfile(this);
    profile_->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    // A log-in window shows no page icon; fetched, it would be one more
    // request with the guest's cookies, sent after the page has loaded.
    profile_->settings()->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    // A child of the profile: it outlives the profile's use of it.
    profile_->setUrlRequestInterceptor(new RetiringInterceptor(profile_));
    auto* page = new QWebEnginePage(profile_, view_);
    if (pageSetup()) pageSetup()(page);
    awaitingStart_ = inFlight_ = false;
    connect(page, &QWebEnginePage::loadStarted, this, [this] {
        awaitingStart_ = false;
        inFlight_ = true;
    });
    connect(page, &QWebEnginePage::urlChanged, this, &LoginWebView::urlCommitted);
    connect(page, &QWebEnginePage::loadFinished, this, [this, page](bool ok) {
        inFlight_ = false;
        emit loadFinished(page->url(), ok);
    });
    return page;
}

void LoginWebView::startAfresh() {
    if (!view_) return;
    // The web engine empties a live profile's cache asynchronously, and a
    // load that overlaps the emptying never finishes: the guest's window
    // would hang. A new profile holds no cookie, cache entry or stored data
    // from the moment it exists, so the view moves to one, and the old
    // profile goes with the page that showed the previous guest's session.
    QPointer<QWebEnginePage> old = view_->page();
    QPointer<QWebEngineProfile> oldProfile = profile_;
    const bool wasLoading = awaitingStart_ || inFlight_;
    const QUrl resume = old ? old->requestedUrl() : QUrl();
    if (old) {
        old->disconnect(this);
        // Ours to delete, not the view's: it goes before its profile.
        old->setParent(nullptr);
    }
    view_->setPage(makePage());
    // Before control is back in the event loop, where requests are let
    // through: none of the old page's is from here on.
    retireGuest(old, oldProfile);
    // Whoever waits on a load under way gets it, signed out.
    if (wasLoading && resume.isValid()) load(resume);
}

LoginWebView::~LoginWebView() { cleanup(); }

QWebEnginePage* LoginWebView::page() const { return view_ ? view_->page() : nullptr; }

void LoginWebView::load(const QUrl& url) {
    if (!view_) return;
    // The page tells that it started a moment later.
    awaitingStart_ = true;
    view_->load(url);
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
        // page goes with the view, before its profile.
        view->deleteLater();
    }
    liveViews().removeAll(this);
    QWebEngineProfile* profile = profile_;
    profile_ = nullptr;
    retire(nullptr, profile);
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

QLabel* layOutWebArea(QWidget* webArea, const QString& loadingNote) {
    auto* layout = new QStackedLayout(webArea);
    layout->setStackingMode(QStackedLayout::StackAll);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* note = new QLabel(loadingNote, webArea);
    note->setObjectName(QStringLiteral("LoadingLabel"));
    note->setAlignment(Qt::AlignCenter);
    note->setStyleSheet(QStringLiteral("background: white; color: #444; font-size: 24px;"));
    layout->addWidget(note);
    return note;
}
