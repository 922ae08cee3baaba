#include "booth/MainWindow.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QShortcut>

#include "preferences/Preferences.h"
#include <QStackedLayout>
#include <QUrl>

#include "booth/HomeScreenTabItem.h"
#include "booth/SessionScreenTabItem.h"
#include "booth/SharingScreenTabItem.h"

MainContentView::MainContentView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MainContentView"));
    setAcceptDrops(true);
}

void MainContentView::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainContentView::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    event->acceptProposedAction();
    if (delegate_ && !paths.isEmpty()) delegate_->contentViewDidReceiveDroppedFiles(paths);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Flashwren"));
    content_ = new MainContentView(this);
    stack_ = new QStackedLayout(content_);
    home_ = new HomeScreenTabItem(content_);
    session_ = new SessionScreenTabItem(content_);
    sharing_ = new SharingScreenTabItem(content_);
    stack_->addWidget(home_);
    stack_->addWidget(session_);
    stack_->addWidget(sharing_);
    setCentralWidget(content_);
    resize(1280, 800);

    auto* fullScreen = new QShortcut(QKeySequence(Qt::Key_F11), this);
    connect(fullScreen, &QShortcut::activated, this, &MainWindow::toggleFullScreen);
    // The operator's way into the settings; guests have no keyboard shortcut habits.
    auto* preferences = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(preferences, &QShortcut::activated, this, [] { Preferences::showPreferences(); });
}

void MainWindow::selectScreen(QWidget* screen) {
    stack_->setCurrentWidget(screen);
    screen->setFocus();
}

QWidget* MainWindow::selectedScreen() const {
    return stack_->currentWidget();
}

void MainWindow::toggleFullScreen() {
    if (isFullScreen()) {
        showNormal();
    } else {
        showFullScreen();
    }
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) emit fullScreenChanged(isFullScreen());
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    emit windowWillClose();
    QMainWindow::closeEvent(event);
}
