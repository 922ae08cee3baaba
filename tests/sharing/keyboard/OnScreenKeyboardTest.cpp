// The on-screen keyboard of the share windows on a real X display: a guest
// types an address by tapping its keys, and it stays away while the booth
// has it switched off. The setting is read each time, without a restart.
#include <QGuiApplication>
#include <nlohmann/json.hpp>
#include <QApplication>
#include <QInputMethod>
#include <QLineEdit>
#include <QQuickItem>
#include <QPushButton>
#include <QQuickWindow>
#include <QTest>

#include "SharingTestSupport.h"
#include "core/Models.h"
#include "core/PhotoSession.h"
#include "core/WrenUtils.h"
#include "sharing/ShareWindows.h"

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
    // In this process the keyboard's rows keep the size hints of their first
    // pass, which give the shift, symbols, comma and Enter keys no width;
    // asking each key for its hints again lays the rows out as the booth
    // shows them.
    void relayoutKeys(QQuickItem* item) {
        if (item->property("key").isValid())
            for (QObject* attached : item->children())
                if (QString(attached->metaObject()->className()).contains("Layout")) {
                    const QVariant width = attached->property("preferredWidth");
                    attached->setProperty("preferredWidth", width.toReal() + 1);
                    attached->setProperty("preferredWidth", width);
                }
        for (QQuickItem* child : item->childItems()) relayoutKeys(child);
    }
    void tap(QQuickItem* key) {
        const QPoint centre = key->mapToScene(QPointF(key->width() / 2, key->height() / 2)).toPoint();
        QTest::mouseClick(keyboardWindow(), Qt::LeftButton, Qt::NoModifier, centre);
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
                relayoutKeys(keyboardWindow()->contentItem());
                ASSERT_TRUE(QTest::qWaitFor([&] { return keyFor(0, ch) != nullptr; }, 2000))
                    << "no key types " << QString(ch).toStdString();
                QQuickItem* symbol = keyFor(0, ch);
                tap(symbol);
                ASSERT_TRUE(landed(ch)) << QString(ch).toStdString() << " was not typed";
                tap(keyFor(Qt::Key_Context1));
                relayoutKeys(keyboardWindow()->contentItem());
                ASSERT_TRUE(QTest::qWaitFor([&] { return !keys().contains(symbol); }, 2000))
                    << "the letters do not come back";
                continue;
            }
            tap(key);
            ASSERT_TRUE(landed(ch)) << QString(ch).toStdString() << " was not typed";
        }
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
        QTest::qWait(1500);
        EXPECT_FALSE(keyboardShowing()) << "switched off, even a tap on the field brings no keyboard";
        window.closeWindow();
    }

    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", true);
    ShareViaEmailWindowController window;
    window.setDelegate(outcomes);
    openAndTapField(window);
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

    relayoutKeys(keyboardWindow()->contentItem());
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyFor(Qt::Key_Context1) != nullptr; }, 2000)) << "no symbols key";
    type("guest@booth.example");
    EXPECT_EQ(window.emailField()->text(), "guest@booth.example") << "the keys type into the field";
    // Enter on the keyboard sends, as the Send button does.
    QQuickItem* enter = keyFor(Qt::Key_Return);
    ASSERT_TRUE(enter) << "no Enter key";
    tap(enter);
    auto emails = SharingModel::getAllSharingRecordsWaitingToSend();
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
    type("15123456");
    EXPECT_EQ(sms.mobileNumberField()->text(), "15123456");
    QTest::mouseClick(sms.window()->findChild<QPushButton*>("SendButton"), Qt::LeftButton);
    auto rows = SharingModel::getAllSharingRecordsWaitingToSend();
    std::erase_if(rows, [](const auto& row) { return row->shareType != SharingTypeSMS; });
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->toField, "+4915123456");
    EXPECT_EQ(rows[0]->media_id, 3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !keyboardShowing(); }, 3000)) << "the keyboard goes with the window";

    // Switched off again at the next window: no keyboard, even on a tap.
    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", false);
    ShareViaEmailWindowController again;
    again.setDelegate(outcomes);
    openAndTapField(again);
    QTest::qWait(1000);
    EXPECT_FALSE(keyboardShowing());
    again.closeWindow();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // As the booth does: the input method is chosen before the application object.
    WrenUtils::selectVirtualKeyboard();
    testApp();
    return RUN_ALL_TESTS();
}
