// The application as main() runs it, with its gallery kept on loopback and
// silent, for the tests that launch the booth as a process.
//
// TEST_BOOTH_OPEN names a window to open once the booth has started, the way
// an operator or a guest opens it: "Email", "SMS", "Facebook" or "Twitter"
// (the final screen's buttons), "Preferences" (Ctrl+,) or "GreenScreen"
// (Ctrl+G). The booth says "TestBooth: <window> is open" once it shows; with
// TEST_BOOTH_QUIT_KEY set it then presses Ctrl+Q in that window.
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <map>
#include <memory>
#include <string>

#include "base/Log.h"
#include "booth/FlashwrenMain.h"
#include "core/WrenUtils.h"
#include "gallery/ManageHTTPServer.h"

namespace {

const std::map<QString, QString> kWindowNames = {
    {"Email", "ShareViaEmailWindow"},     {"SMS", "ShareViaSMSWindow"},
    {"Facebook", "FacebookLoginWindow"},  {"Twitter", "TwitterLoginWindow"},
    {"Preferences", "WRENPreferencesWindow"}, {"GreenScreen", "GreenScreenWindow"}};

QWidget* topLevel(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == name) return widget;
    return nullptr;
}

// Calls `step` every 50 ms until it answers true.
void repeatUntil(std::function<bool()> step) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
        if (step()) timer->deleteLater();
    });
    timer->start(50);
}

// A shortcut reaches the window that has the keyboard: false until it has.
bool pressInActiveWindow(QWidget* window, Qt::Key key) {
    if (!window->isActiveWindow()) {
        window->activateWindow();
        return false;
    }
    QTest::keyClick(window, key, Qt::ControlModifier);
    return true;
}

bool open(const QString& which) {
    QWidget* main = topLevel("MainWindow");
    if (!main) return false;
    if (which == "Preferences") return pressInActiveWindow(main, Qt::Key_Comma);
    if (which == "GreenScreen") return pressInActiveWindow(main, Qt::Key_G);
    if (auto* button = main->findChild<QPushButton*>(which + "ShareButton")) button->click();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    return flashwrenMain(argc, argv, [] {
        ManageHTTPServer::Options gallery;
        gallery.bindAddress = "127.0.0.1";
        gallery.localAddresses = [] { return std::map<std::string, std::string>{}; };
        ManageHTTPServer::setSharedOptions(gallery);

        const QString which = qEnvironmentVariable("TEST_BOOTH_OPEN");
        if (!kWindowNames.count(which)) return;
        const bool quitKey = qEnvironmentVariableIsSet("TEST_BOOTH_QUIT_KEY");
        // Runs once the start-up is done. Facebook sharing needs the
        // internet reachable, which the booth finds out a moment after start.
        repeatUntil([which] {
            if (which == "Facebook" && !WrenUtils::isInternetRechable()) return false;
            return open(which);
        });
        auto said = std::make_shared<bool>(false);
        repeatUntil([which, quitKey, said] {
            QWidget* window = topLevel(kWindowNames.at(which));
            if (!window || !window->isVisible()) return false;
            if (!*said) spdlog::info("TestBooth: {} is open", which.toStdString());
            *said = true;
            return !quitKey || pressInActiveWindow(window, Qt::Key_Q);
        });
    });
}
