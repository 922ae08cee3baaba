#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel home("Flashwren\n\nTouch to start");
    home.setObjectName("HomeScreen");
    home.setAlignment(Qt::AlignCenter);
    home.resize(1024, 768);
    home.show();
    return app.exec();
}
