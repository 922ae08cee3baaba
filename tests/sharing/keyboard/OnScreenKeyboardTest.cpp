// The on-screen keyboard of the share and log-in windows on a real X display:
// a guest types an address by tapping its keys, and it stays away while the
// booth has it switched off. The setting is read each time, without a
// restart; which input method the booth uses is chosen at its start.
#include <QGuiApplication>
#include <QProcess>
#include <QWebEngineView>
#include <nlohmann/json.hpp>
#include <QApplication>
#include <QInputMethod>
#include <QLineEdit>
#include <QQuickItem>
#include <QPointingDevice>
#include <QPushButton>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTest>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>

#include "WebViewTestSupport.h"
#include "core/Models.h"
#include "core/PhotoSession.h"
#include "core/WrenUtils.h"
#include "sharing/FacebookLogin.h"
#include "sharing/FacebookLoginWebController.h"
#include "sharing/ShareWindows.h"
#include "sharing/TwitterLoginWindowController.h"

namespace {

// The visible keys of the keyboard window, by what they type.
void collectKeys(QQuickItem* item, QList<QQuickItem*>& keys) {
    if (!item->isVisible()) return;
    if (item->property("key").isValid() && item->property("text").isValid() && item->width() > 0) keys << item;
    for (QQuickItem* child : item->childItems()) collectKeys(child, keys);
}

class OnScreenKeyboardTest : public SharingTest {
protected:
    void SetUp() override {
        if (!WrenUtils::isVirtualKeyboardInstalled()) GTEST_SKIP() << "Qt's on-screen keyboard is not installed";
        ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "needs an X display (xvfb-run)";
        SharingTest::SetUp();
        PhotoSession::session().printMediaID = 3;
    }

    QQuickWindow* keyboardWindow() {
        for (QWindow* window : QGuiApplication::topLevelWindows())
            if (QString(window->metaObject()->className()).contains("InputView"))
                return qobject_cast<QQuickWindow*>(window);
        return nullptr;
    }
    QList<QQuickItem*> keys() {
        QList<QQuickItem*> found;
        QQuickWindow* window = keyboardWindow();
        if (window && window->isVisible()) collectKeys(window->contentItem(), found);
        return found;
    }
    bool keyboardShowing() {
        return QGuiApplication::inputMethod()->isVisible() &&
               !QGuiApplication::inputMethod()->keyboardRectangle().isEmpty() && !keys().isEmpty();
    }
    QQuickItem* keyFor(int qtKey, const QString& text = {}) {
        for (QQuickItem* key : keys())
            if (text.isEmpty() ? key->property("key").toInt() == qtKey : key->property("text").toString() == text)
                return key;
        return nullptr;
    }
    // The key that puts the keyboard away, where the page has one.
    QQuickItem* hideKey() {
        for (QQuickItem* key : keys())
            if (QString(key->metaObject()->className()).startsWith("HideKeyboardKey")) return key;
        return nullptr;
    }
    // Whether `held` stays true for all of `ms`, checked as the events come.
    static bool holdsFor(const std::function<bool()>& held, int ms) {
        return !QTest::qWaitFor([&] { return !held(); }, ms) && held();
    }
    bool keyboardAway() {
        QQuickWindow* window = keyboardWindow();
        return !QGuiApplication::inputMethod()->isVisible() && !(window && window->isVisible());
    }
    void expectHideKey(const char* where) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return hideKey() != nullptr; }, 3000))
            << where << ": no key puts the keyboard away";
    }
    static bool aboveKeyboard(const QRect& onScreen) {
        return !onScreen.isEmpty() && onScreen.bottom() < QGuiApplication::inputMethod()->keyboardRectangle().top();
    }
    static QRect onScreen(const QWidget* widget) { return {widget->mapToGlobal(QPoint(0, 0)), widget->size()}; }
    // Keys a guest sees but cannot hit.
    QStringList keysWithoutWidth() {
        QStringList found;
        std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
            if (!item->isVisible()) return;
            if (item->property("key").isValid() && item->width() < 1)
                found << QString(item->metaObject()->className()) + " " + item->property("text").toString();
            for (QQuickItem* child : item->childItems()) walk(child);
        };
        QQuickWindow* window = keyboardWindow();
        if (window && window->isVisible()) walk(window->contentItem());
        return found;
    }
    void expectEveryKeyHasWidth(const char* where) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return keysWithoutWidth().isEmpty(); }, 3000))
            << where << ": " << keysWithoutWidth().join(", ").toStdString();
    }
    // The bar of word suggestions over the keys, which the keyboard shows as
    // a guest types where a dictionary is installed: it makes the keyboard
    // taller while it is up.
    void showSuggestionsBar(bool shown) {
        QQuickWindow* window = keyboardWindow();
        ASSERT_TRUE(window && !window->contentItem()->childItems().isEmpty());
        QQmlEngine* engine = qmlEngine(window->contentItem()->childItems().first());
        ASSERT_TRUE(engine);
        QQmlComponent setting(engine);
        const QByteArray value = shown ? "true" : "false";
        setting.setData("import QtQuick\nimport QtQuick.VirtualKeyboard.Settings\n"
                        "QtObject { Component.onCompleted: "
                        "VirtualKeyboardSettings.wordCandidateList.alwaysVisible = " + value + " }",
                        QUrl());
        std::unique_ptr<QObject> done(setting.create());
        ASSERT_TRUE(done) << setting.errorString().toStdString();
    }
    // A touch on the X display, as a guest's finger makes it.
    static void tapOnScreen(QPoint at) {
        QProcess::execute("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }
    // Without a window manager the window a tap reaches is the one on top.
    bool keyboardOnTop() {
        const QList<QQuickItem*> all = keys();
        if (all.isEmpty()) return false;
        QQuickItem* key = all.first();
        const QPoint centre = key->mapToGlobal(QPointF(key->width() / 2, key->height() / 2)).toPoint();
        return QGuiApplication::topLevelAt(centre) == keyboardWindow();
    }
    void tap(QQuickItem* key) {
        const QPoint centre = key->mapToScene(QPointF(key->width() / 2, key->height() / 2)).toPoint();
        QTest::mouseClick(keyboardWindow(), Qt::LeftButton, Qt::NoModifier, centre);
    }
    // A finger on the key, as a touch screen reports it.
    void touch(QQuickItem* key) {
        static QPointingDevice* finger = QTest::createTouchDevice();
        const QPoint centre = key->mapToScene(QPointF(key->width() / 2, key->height() / 2)).toPoint();
        QTest::touchEvent(keyboardWindow(), finger).press(0, centre);
        QTest::touchEvent(keyboardWindow(), finger).release(0, centre);
    }
    // Taps the keys that type `text`, going to the symbols page and back for
    // what the letters page lacks.
    void type(const QString& text) {
        auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        ASSERT_TRUE(field) << "no field to type into";
        QString typed = field->text();
        // Each key has typed its character before the next is tapped.
        auto landed = [&](QChar ch) {
            typed += ch;
            return QTest::qWaitFor([&] { return field->text() == typed; }, 5000);
        };
        for (QChar ch : text) {
            QQuickItem* key = keyFor(0, ch);
            if (!key) {
                QQuickItem* modeKey = keyFor(Qt::Key_Context1);
                ASSERT_TRUE(modeKey) << "no symbols key";
                tap(modeKey);
                ASSERT_TRUE(QTest::qWaitFor([&] { return keyFor(0, ch) != nullptr; }, 2000))
                    << "no key types " << QString(ch).toStdString();
                QQuickItem* symbol = keyFor(0, ch);
                tap(symbol);
                ASSERT_TRUE(landed(ch)) << QString(ch).toStdString() << " was not typed";
                tap(keyFor(Qt::Key_Context1));
                ASSERT_TRUE(QTest::qWaitFor([&] { return !keys().contains(symbol); }, 2000))
                    << "the letters do not come back";
                continue;
            }
            tap(key);
            ASSERT_TRUE(landed(ch)) << QString(ch).toStdString() << " was not typed";
        }
    }
    // A tap on a field asks the input method as it is handled: where nothing
    // asked by the time the events queued behind it have run, nothing will.
    void expectNoKeyboardAsked(const char* why) {
        QCoreApplication::processEvents();
        EXPECT_FALSE(QGuiApplication::inputMethod()->isVisible() || keyboardShowing()) << why;
    }
    // The window shown with the field focused, as a guest sees it; a second
    // tap on the focused field is what asks Qt for the keyboard.
    void openAndTapField(ShareWindowController& window) {
        window.setPathOfImageToSend(QUrl::fromLocalFile("/prints/IMG_3.jpg"));
        window.showWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.window()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.field()->hasFocus(); }, 2000));
        QTest::mouseClick(window.field(), Qt::LeftButton);
        QTest::mouseClick(window.field(), Qt::LeftButton);
    }
};

TEST_F(OnScreenKeyboardTest, TheSettingShowsAKeyboardWhoseKeysTypeAndQueueTheShareAndKeepsItAwayWhenOff) {
    auto outcomes = std::make_shared<SharingOutcomes>();
    {
        UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", false);
        ShareViaEmailWindowController window;
        window.setDelegate(outcomes);
        openAndTapField(window);
        expectNoKeyboardAsked("switched off, even a tap on the field brings no keyboard");
        window.closeWindow();
    }

    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", true);
    ShareViaEmailWindowController window;
    window.setDelegate(outcomes);
    openAndTapField(window);
    EXPECT_TRUE(QGuiApplication::inputMethod()->isVisible()) << "switched on, the tap asks for the keyboard at once";
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyboardShowing() && keyFor(0, "g"); }, 15000))
        << "switched on, the keyboard comes up under the field";
    // The panel (prompt, field, buttons) moves up into what the keyboard
    // leaves in sight; on this screen it would be half covered otherwise.
    auto* panel = window.window()->findChild<QWidget*>("SharePanel");
    ASSERT_TRUE(panel);
    EXPECT_TRUE(QTest::qWaitFor([&] {
        const QRect frame(panel->mapToGlobal(QPoint(0, 0)), panel->size());
        return frame.bottom() < QGuiApplication::inputMethod()->keyboardRectangle().top();
    }, 3000)) << "the keyboard covers the panel";

    expectEveryKeyHasWidth("the e-mail window");
    expectHideKey("the e-mail window");
    {
        // Without a window manager a window shown while the keyboard is up
        // lands on top of it: the keyboard goes back above.
        QWidget cover(nullptr, Qt::Window | Qt::FramelessWindowHint);
        cover.setGeometry(QGuiApplication::primaryScreen()->geometry());
        cover.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&cover));
        EXPECT_TRUE(QTest::qWaitFor([&] { return keyboardShowing() && keyboardOnTop(); }, 3000))
            << "a window shown while the keyboard is up hides it";
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.emailField()->hasFocus() && keyboardShowing(); }, 3000));
    EXPECT_TRUE(keyFor(0, "@") && keyFor(0, ".com")) << "an address page: @ and .com beside the letters";
    // In the booth's language; the C locale is English (United States).
    const QString language = QLocale::system().language() == QLocale::C ? "en_US" : QLocale::system().name();
    EXPECT_EQ(QGuiApplication::inputMethod()->locale().name().toStdString(), language.toStdString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyFor(Qt::Key_Context1) != nullptr; }, 2000)) << "no symbols key";
    type("guest@booth.example");
    EXPECT_EQ(window.emailField()->text(), "guest@booth.example") << "the keys type into the field";
    // Enter on the keyboard sends, as the Send button does.
    QQuickItem* enter = keyFor(Qt::Key_Return);
    ASSERT_TRUE(enter) << "no Enter key";
    tap(enter);
    std::vector<std::shared_ptr<SharingModel>> emails;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(emails = SharingModel::getAllSharingRecordsWaitingToSend()).empty(); }, 5000));
    ASSERT_EQ(emails.size(), 1u) << "the e-mail share is queued";
    EXPECT_EQ(emails[0]->shareType, SharingTypeEmail);
    EXPECT_EQ(emails[0]->toField, "guest@booth.example");
    EXPECT_EQ(emails[0]->media_id, 3);
    window.closeWindow();

    // The SMS window: the number typed on the keypad and sent with a touch
    // on Send is queued.
    set("TWILIO_COUNTRY_CODE", "49");
    ShareViaSMSWindowController sms;
    sms.setDelegate(outcomes);
    openAndTapField(sms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyboardShowing() && keyFor(0, "5"); }, 10000))
        << "the digits keypad comes up";
    EXPECT_TRUE(QTest::qWaitFor([&] { return keyboardOnTop(); }, 3000)) << "the second window hides the keyboard";
    expectEveryKeyHasWidth("the SMS window");
    expectHideKey("the SMS window");
    type("15123456");
    EXPECT_EQ(sms.mobileNumberField()->text(), "15123456");
    QTest::mouseClick(sms.window()->findChild<QPushButton*>("SendButton"), Qt::LeftButton);
    std::vector<std::shared_ptr<SharingModel>> rows;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        rows = SharingModel::getAllSharingRecordsWaitingToSend();
        std::erase_if(rows, [](const auto& row) { return row->shareType != SharingTypeSMS; });
        return !rows.empty();
    }, 5000));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->toField, "+4915123456");
    EXPECT_EQ(rows[0]->media_id, 3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !keyboardShowing(); }, 3000)) << "the keyboard goes with the window";

    // Switched off again at the next window: no keyboard, even on a tap.
    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", false);
    ShareViaEmailWindowController again;
    again.setDelegate(outcomes);
    openAndTapField(again);
    expectNoKeyboardAsked("switched off again");
    again.closeWindow();
}

TEST_F(OnScreenKeyboardTest, TheTwitterLogInBringsTheKeyboardForItsPageAndTheDigitPadForThePin) {
    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", true);
    struct Guest : TwitterLoginWindowControllerDelegate {
        bool didReceiveTwitterPIN(const QString&) override { return true; }
        void userDidCancelTwitterSharing() override {}
    } guest;
    // The authorise page's field fills the top of the page.
    TwitterLoginWindowController login(
        &guest, "data:text/html,<input name=user style='width:100%;height:120px;font-size:40px'>");
    login.windowDidLoad();
    bool loaded = false;
    QObject::connect(login.webView(), &LoginWebView::loadFinished, [&] { loaded = true; });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(login.window()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return loaded; }, 20000));
    QWebEngineView* page = login.webView()->view();
    tapOnScreen(page->mapToGlobal(QPoint(page->width() / 2, 40)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyboardShowing() && keyFor(0, "g"); }, 10000))
        << "a field of the page brings the keyboard";
    EXPECT_TRUE(QTest::qWaitFor([&] { return keyboardOnTop(); }, 3000));
    expectEveryKeyHasWidth("a field of the log-in page");
    expectHideKey("a field of the log-in page");

    // A tap beside the page is for the PIN: the digit pad, with the PIN row
    // above it.
    tapOnScreen(login.window()->mapToGlobal(QPoint(5, 5)));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return login.pinField()->hasFocus() && keyboardShowing() && keyFor(0, "5") && !keyFor(0, "g");
    }, 10000)) << "the PIN brings the digit pad";
    expectEveryKeyHasWidth("the PIN field");
    expectHideKey("the PIN field");
    EXPECT_TRUE(QTest::qWaitFor([&] {
        const QRect pin(login.pinField()->mapToGlobal(QPoint(0, 0)), login.pinField()->size());
        return pin.bottom() < QGuiApplication::inputMethod()->keyboardRectangle().top();
    }, 3000)) << "the keyboard covers the PIN row";
    {
        // The keyboard grows while it is up: the PIN row and its buttons
        // move up with its top.
        auto keyboardTop = [] { return QGuiApplication::inputMethod()->keyboardRectangle().top(); };
        const qreal top = keyboardTop();
        showSuggestionsBar(true);
        ASSERT_TRUE(QTest::qWaitFor([&] { return keyboardTop() < top; }, 3000)) << "the suggestions bar does not show";
        auto* share = login.window()->findChild<QPushButton*>("ShareButton");
        ASSERT_TRUE(share);
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return aboveKeyboard(onScreen(login.pinField())) && aboveKeyboard(onScreen(share));
        }, 3000)) << "the taller keyboard covers the PIN row";
        showSuggestionsBar(false);
        ASSERT_TRUE(QTest::qWaitFor([&] { return keyboardTop() == top; }, 3000)) << "the suggestions bar stays";
    }
    type("2468");
    EXPECT_EQ(login.twitterPin(), "2468");
    login.closeMe();
}

// The log-in page: two fields placed, once the window shows, at 45 % and
// 85 % of the web area's height then, in a page of that fixed height, as a
// page laid out for the whole area has them.
constexpr char kFacebookPage[] = R"(<html><body style='margin:0'>
<input id=upper style='position:absolute;left:20px;width:300px;height:40px'>
<input id=lower style='position:absolute;left:20px;width:300px;height:40px'>
<script>function place() {
  const h = innerHeight;
  document.body.style.height = h + 'px';
  upper.style.top = Math.round(0.45 * h - 20) + 'px';
  lower.style.top = Math.round(0.85 * h - 20) + 'px';
  return h;
}</script></body></html>)";

TEST_F(OnScreenKeyboardTest, TheFacebookLogInKeepsTheFocusedFieldAndCancelAboveTheKeyboardWhichAKeyPutsAway) {
    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", true);
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest&) -> testsupport::Reply {
        return {200, {{"Content-Type", "text/html"}}, kFacebookPage};
    });
    set("FacebookGraphURL", server.baseUrl() + "/");
    set("FacebookWebURL", server.baseUrl());
    struct Shown : FacebookLoginDelegate {
        void tokenResult(const FacebookTokenResult&) override {}
        void requestResult(const FacebookRequestResult&) override {}
    };
    auto login = FacebookLogin::initWithApplicationID("1", std::make_shared<Shown>());
    auto waitFor = [&](const std::function<bool()>& done, int ms) {
        return QTest::qWaitFor([&] {
            main.runPending();
            return done();
        }, ms);
    };
    login->getAccessTokenForPermissions({"publish_actions"}, false);
    FacebookLoginWebController* controller = login->webViewController();
    ASSERT_TRUE(controller);
    ASSERT_TRUE(waitFor([&] { return controller->window()->isVisible() && controller->webView(); }, 20000))
        << "the log-in page shows the window";
    QWidget* window = controller->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* cancel = window->findChild<QPushButton*>("cancelButton");
    ASSERT_TRUE(cancel);
    // Runs `script` in the page and waits for its answer.
    auto run = [&](const QString& script) {
        QString answer;
        bool done = false;
        if (!controller->webView()) return answer;
        controller->webView()->evaluate(script, [&](const QString& value) {
            answer = value;
            done = true;
        });
        waitFor([&] { return done; }, 5000);
        return answer;
    };
    ASSERT_TRUE(waitFor([&] { return run("String(place())").toInt() > 100; }, 5000)) << "the page did not load";
    // The field with the focus, on the screen, clipped to the web area: where
    // a guest sees what they type.
    auto focusedField = [&](const QString& id) {
        const QString answer = run(
            "(function(){const e=document.activeElement;if(!e||e.id!=='" + id + "')return '';"
            "const r=e.getBoundingClientRect();return [r.left,r.top,r.width,r.height].map(Math.round).join(',');})()");
        const QStringList parts = answer.split(',');
        if (parts.size() != 4) return QRect();
        QWebEngineView* page = controller->webView()->view();
        const QRect inPage(parts[0].toInt(), parts[1].toInt(), parts[2].toInt(), parts[3].toInt());
        return QRect(page->mapToGlobal(inPage.topLeft()), inPage.size()).intersected(onScreen(page));
    };
    // Where a guest taps the field `id` on the screen.
    auto fieldCentre = [&](const QString& id) {
        const QString centre = run("(function(){const r=" + id +
                                   ".getBoundingClientRect();return Math.round(r.left+r.width/2)+','+"
                                   "Math.round(r.top+r.height/2);})()");
        QWebEngineView* page = controller->webView()->view();
        return page->mapToGlobal(QPoint(centre.section(',', 0, 0).toInt(), centre.section(',', 1).toInt()));
    };
    for (const QString id : {"upper", "lower"}) {
        SCOPED_TRACE(id.toStdString());
        const QPoint at = fieldCentre(id);
        ASSERT_TRUE(onScreen(controller->webView()->view()).contains(at))
            << "the field is out of sight before the keyboard shows";
        tapOnScreen(at);
        ASSERT_TRUE(waitFor([&] { return keyboardShowing() && keyFor(0, "g"); }, 10000))
            << "a field of the page brings the keyboard";
        EXPECT_TRUE(waitFor([&] {
            const QRect focused = focusedField(id);
            return focused.height() >= 30 && aboveKeyboard(focused);
        }, 5000)) << "the field the guest types into is under the keyboard or out of sight";
        EXPECT_TRUE(waitFor([&] { return aboveKeyboard(onScreen(cancel)); }, 3000))
            << "the keyboard covers Cancel";
        EXPECT_TRUE(QTest::qWaitFor([&] { return keyboardOnTop(); }, 3000));
        // A guest who wants the page whole again puts the keyboard away,
        // with the mouse or a finger.
        expectHideKey("the Facebook log-in page");
        if (QQuickItem* hide = hideKey()) id == "upper" ? tap(hide) : touch(hide);
        EXPECT_TRUE(waitFor([&] { return keyboardAway(); }, 5000)) << "the key does not put the keyboard away";
        EXPECT_TRUE(holdsFor([&] {
            main.runPending();
            return keyboardAway();
        }, 1200)) << "the keyboard comes back by itself after its key put it away";
    }
    // A tap on the field brings the keyboard back; from there straight to
    // the other field, it stays up.
    tapOnScreen(fieldCentre("lower"));
    EXPECT_TRUE(waitFor([&] { return keyboardShowing() && focusedField("lower").height() >= 30; }, 10000))
        << "a tap on the field does not bring the keyboard back";
    tapOnScreen(fieldCentre("upper"));
    EXPECT_TRUE(waitFor([&] { return focusedField("upper").height() >= 30; }, 5000)) << "the tapped field has no focus";
    EXPECT_TRUE(holdsFor([&] {
        main.runPending();
        return keyboardShowing();
    }, 1200)) << "the keyboard goes on the way from one field to the other";
    controller->cancel();
    EXPECT_TRUE(waitFor([&] { return !window->isVisible(); }, 3000));
}

constexpr char kTypeDeadKey[] = "--type-dead-key-into-a-booth-field";

// A booth field in a process of its own that chose its input method at start,
// as the booth does, from the settings of XDG_CONFIG_HOME: a dead acute and
// "e" on the X keyboard, and what the field then holds.
int typeDeadKeyIntoABoothField() {
    WrenUtils::selectVirtualKeyboard();
    testApp();
    ShareViaEmailWindowController window;
    window.showWindow();
    if (!QTest::qWaitForWindowActive(window.window()) ||
        !QTest::qWaitFor([&] { return window.emailField()->hasFocus(); }, 5000))
        return 2;
    if (QProcess::execute("xdotool", {"key", "--clearmodifiers", "dead_acute", "e"}) != 0) return 3;
    QTest::qWaitFor([&] { return !window.emailField()->text().isEmpty(); }, 5000);
    std::printf("typed=%s|%s\n", window.emailField()->text().toUtf8().constData(), qgetenv("QT_IM_MODULE").constData());
    return 0;
}

TEST(KeyboardChoice, WithTheKeyboardOffOrAnInputMethodOfTheirOwnADeadKeyComposes) {
    // A keymap with dead keys, as international and most European ones have,
    // and the compose rule of a French or Portuguese locale.
    ASSERT_EQ(QProcess::execute("setxkbmap", {"-layout", "us", "-variant", "intl"}), 0);
    testsupport::TempDir compose;
    std::ofstream(compose.file("Compose")) << "<dead_acute> <e> : \"\u00e9\" eacute\n";
    struct Case {
        bool keyboardOn;
        QString ownInputMethod;
    };
    for (const Case& c : {Case{false, ""}, Case{true, "compose"}}) {
        testsupport::ScopedHome home;
        UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", c.keyboardOn);
        ASSERT_TRUE(UserDefaults::standard().synchronize());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_IM_MODULE");
        env.remove("QT_VIRTUALKEYBOARD_LAYOUT_PATH");
        if (!c.ownInputMethod.isEmpty()) env.insert("QT_IM_MODULE", c.ownInputMethod);
        env.insert("XCOMPOSEFILE", QString::fromStdString(compose.file("Compose")));
        QProcess booth;
        booth.setProcessEnvironment(env);
        booth.start(QCoreApplication::applicationFilePath(), {kTypeDeadKey});
        ASSERT_TRUE(booth.waitForFinished(60000));
        const QString output = QString::fromUtf8(booth.readAllStandardOutput());
        const qsizetype at = output.lastIndexOf("typed=");
        EXPECT_EQ((at < 0 ? output : output.mid(at + 6).trimmed()).toStdString(),
                  "\u00e9|" + c.ownInputMethod.toStdString())
            << "keyboard " << (c.keyboardOn ? "on" : "off") << ", exit " << booth.exitCode();
        // Switched on but kept away by the desktop's input method: the log
        // says so, once, at start.
        const QString all = output + QString::fromUtf8(booth.readAllStandardError());
        EXPECT_EQ(all.count("the desktop's input method (compose) is in use"), c.keyboardOn ? 1 : 0) << all.toStdString();
    }
    QProcess::execute("setxkbmap", {"-layout", "us"});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kTypeDeadKey) == 0) {
        prepareWebEngine();
        return typeDeadKeyIntoABoothField();
    }
    ::testing::InitGoogleTest(&argc, argv);
    // As the booth starts with the keyboard switched on: the input method is
    // chosen before the application object.
    testsupport::ScopedHome startHome;
    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", true);
    WrenUtils::selectVirtualKeyboard();
    prepareWebEngine();
    testApp();
    return RUN_ALL_TESTS();
}
