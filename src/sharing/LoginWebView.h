#pragma once
// The web view of a log-in window: each log-in gets a web profile of its own
// that keeps nothing on disk, so one guest's session never reaches the next.
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QWebEngineView>

#include <functional>

class QWebEnginePage;
class QWebEngineProfile;
class QWidget;

class LoginWebView : public QObject {
    Q_OBJECT
public:
    // The view is added to `container`'s layout.
    explicit LoginWebView(QWidget* container);
    ~LoginWebView() override;

    void load(const QUrl& url);
    QWebEngineView* view() const { return view_; }
    QWebEnginePage* page() const;
    // Runs `script` in the page; `done` gets its result as text ("" when none).
    void evaluate(const QString& script, std::function<void(const QString&)> done);
    // Loads an empty page, stops, and drops the view and its profile.
    void cleanup();
    // Called with every log-in page as it is made, before anything loads: the
    // application configures its pages here (the booth watches them for
    // script errors). Set on the main thread; none by default.
    static void setPageSetup(std::function<void(QWebEnginePage*)> setup);
    // Deletes the cookies and empties the cache of every log-in view open
    // now, so the next guest starts signed out: each view moves to a new,
    // empty profile, done when this returns. A view that was loading loads
    // the same address again there; one that was not shows an empty page
    // until it is next asked to load. Interface thread.
    static void clearCookiesAndCache();

signals:
    // The page has committed to a new address (a navigation or a redirect).
    void urlCommitted(const QUrl& url);
    void loadFinished(const QUrl& url, bool ok);

private:
    // A page of a new profile of its own, set up and watched.
    QWebEnginePage* makePage();
    // Moves the view to a new profile, dropping the old one and its page.
    void startAfresh();

    QPointer<QWebEngineProfile> profile_;
    QPointer<QWebEngineView> view_;
    // Whether the page is loading: asked to and not yet started, or started
    // and not yet finished.
    bool awaitingStart_ = false;
    bool inFlight_ = false;
};

class QLabel;
class QLayout;

// Gives a log-in window's web area its layout, with a note ("Loading...")
// that lies over the page: raised as a load starts and hidden once the page
// is in, so that the page never moves as the note goes.
QLabel* layOutWebArea(QWidget* webArea, const QString& loadingNote);

// Lays out a log-in window: the web area above `controls` inside `panel`, and
// the panel centred in `content` (the dimmed full-screen view) by the layout
// it returns.
QLayout* layOutLoginPanel(QWidget* content, QWidget* panel, QWidget* webArea, QLayout* controls);
