// The application as main() runs it, with its gallery kept on loopback and
// silent, for the tests that launch the booth as a process.
//
// With TEST_BOOTH_OPEN="<how>:<window>" it opens a window once started, as
// an operator or a guest does: <how> is a final-screen button's service
// ("Email", "Facebook"...) or a key pressed with Ctrl ("G", ","). It says
// "TestBooth: <window> is open" when the window shows, and with
// TEST_BOOTH_QUIT_KEY set it then presses Ctrl+Q there.
//
// With TEST_BOOTH_CHOOSE_FOLDER set it then changes the data folder to that
// folder, as the operator does in the preferences' General pane, and says
// "TestBooth: the data folder is changed" once the change has returned.
#include <QApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <map>
#include <string>

#include "base/Log.h"
#include "booth/FlashwrenMain.h"
#include "core/WrenUtils.h"
#include "gallery/ManageHTTPServer.h"

namespace {

QWidget* topLevel(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == name) return widget;
    return nullptr;
}

// A shortcut reaches the window that has the keyboard: false until it has.
bool press(QWidget* window, const QString& key) {
    if (!window->isActiveWindow()) {
        window->activateWindow();
        return false;
    }
    QTest::keyClick(window, key.at(0).toLatin1(), Qt::ControlModifier);
    return true;
}

void openAndQuit(const QString& how, const QString& name, bool quitKey) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [=, opened = false, said = false]() mutable {
        QWidget* main = topLevel("MainWindow");
        // Facebook sharing needs the internet, which the booth finds out a moment after start.
        if (!opened && main && (how != "Facebook" || WrenUtils::isInternetRechable())) {
            auto* button = main->findChild<QPushButton*>(how + "ShareButton");
            if (button) button->click();
            opened = button || press(main, how);
        }
        QWidget* window = topLevel(name);
        if (!window || !window->isVisible()) return;
        if (!said) spdlog::info("TestBooth: {} is open", name.toStdString());
        said = true;
        if (!quitKey || press(window, "Q")) timer->deleteLater();
    });
    timer->start(50);
}

void changeDataFolder(const QString& folder) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [=, clicked = false]() mutable {
        if (!clicked) {
            QWidget* preferences = topLevel("WRENPreferencesWindow");
            auto* change = preferences && preferences->isVisible()
                               ? preferences->findChild<QPushButton*>("changeDataDirectory")
                               : nullptr;
            if (!change || !change->isVisible()) return;
            clicked = true;
            // Its folder panel runs modal: this timer answers it meanwhile.
            QTimer::singleShot(0, change, [change] {
                change->click();
                spdlog::info("TestBooth: the data folder is changed");
            });
            return;
        }
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* panel = qobject_cast<QFileDialog*>(widget);
            if (!panel || !panel->isVisible()) continue;
            panel->setDirectory(folder);
            QMetaObject::invokeMethod(panel, "accept");
            timer->deleteLater();
        }
    });
    timer->start(50);
}

}  // namespace

int main(int argc, char** argv) {
    return flashwrenMain(argc, argv, [] {
        ManageHTTPServer::Options gallery;
        gallery.bindAddress = "127.0.0.1";
        gallery.localAddresses = [] { return std::map<std::string, std::string>{}; };
        ManageHTTPServer::setSharedOptions(gallery);
        const QStringList open = qEnvironmentVariable("TEST_BOOTH_OPEN").split(':');
        if (open.size() == 2) openAndQuit(open[0], open[1], qEnvironmentVariableIsSet("TEST_BOOTH_QUIT_KEY"));
        if (qEnvironmentVariableIsSet("TEST_BOOTH_CHOOSE_FOLDER"))
            changeDataFolder(qEnvironmentVariable("TEST_BOOTH_CHOOSE_FOLDER"));
    });
}
