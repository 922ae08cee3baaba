#include <QApplication>

#include "base/AppInfo.h"
#include "booth/AppController.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromStdString(base::AppInfo::shared().name()));
    QApplication::setApplicationVersion(QString::fromStdString(base::AppInfo::shared().shortVersion()));
    AppController controller;
    if (!controller.applicationDidFinishLaunching()) return 1;
    QObject::connect(&app, &QApplication::aboutToQuit, &controller, [&controller] {
        controller.applicationWillTerminate();
    });
    return app.exec();
}
