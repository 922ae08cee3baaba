#include "core/ProgressWindowController.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>

#include "base/Log.h"

namespace {
bool onMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
}  // namespace

ProgressWindowController* ProgressWindowController::sharedPrgoressWindowController() {
    static ProgressWindowController* shared = [] {
        auto* c = new ProgressWindowController();
        // Its widgets live on the interface thread whoever asks first.
        if (auto* app = QCoreApplication::instance()) c->moveToThread(app->thread());
        return c;
    }();
    return shared;
}

ProgressWindowController::ProgressWindowController() = default;

void ProgressWindowController::showWindowWithImage(const QImage& image, const QString& message,
                                                   double autoCloseAfterDelay) {
    if (message.isEmpty()) return;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        spdlog::info("ProgressWindowController: {}", message.toStdString());
        return;
    }
    if (onMainThread()) {
        showOnMain(image, message, autoCloseAfterDelay);
    } else {
        QMetaObject::invokeMethod(
            this, [this, image, message, autoCloseAfterDelay] { showOnMain(image, message, autoCloseAfterDelay); },
            Qt::QueuedConnection);
    }
}

void ProgressWindowController::showWindowWithErrorImageAndMessage(const QString& message,
                                                                  double autoCloseAfterDelay) {
    if (message.isEmpty()) return;
    // A null image stands for the caution icon, drawn on the interface thread.
    showWindowWithImage(QImage(), message, autoCloseAfterDelay);
}

void ProgressWindowController::showOnMain(const QImage& image, const QString& message, double delay) {
    if (!window_) {
        window_ = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                           Qt::WindowDoesNotAcceptFocus);
        window_->setObjectName(QStringLiteral("ProgressWindow"));
        window_->setAttribute(Qt::WA_ShowWithoutActivating);
        window_->setStyleSheet(QStringLiteral(
            "#ProgressWindow { background-color: rgba(30, 30, 30, 235); border-radius: 12px; }"
            "QLabel { color: white; font-size: 18pt; }"));
        auto* layout = new QHBoxLayout(window_);
        layout->setContentsMargins(24, 20, 24, 20);
        layout->setSpacing(16);
        icon_ = new QLabel(window_);
        icon_->setObjectName(QStringLiteral("icon"));
        text_ = new QLabel(window_);
        text_->setObjectName(QStringLiteral("message"));
        text_->setWordWrap(true);
        text_->setMinimumWidth(280);
        text_->setMaximumWidth(560);
        layout->addWidget(icon_);
        layout->addWidget(text_, 1);
        timer_ = new QTimer(this);
        timer_->setSingleShot(true);
        connect(timer_, &QTimer::timeout, this, &ProgressWindowController::close);
    }
    QPixmap pixmap;
    if (image.isNull()) {
        pixmap = window_->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(64, 64);
    } else {
        pixmap = QPixmap::fromImage(image.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    icon_->setPixmap(pixmap);
    text_->setText(message);
    window_->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        window_->move(area.center() - window_->rect().center());
    }
    window_->show();
    window_->raise();
    timer_->start(static_cast<int>(std::clamp(delay, 0.0, 86400.0) * 1000.0));
}

void ProgressWindowController::close() {
    if (!onMainThread()) {
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    if (timer_) timer_->stop();
    if (window_) window_->hide();
}

QString ProgressWindowController::visibleMessage() const {
    return window_ && window_->isVisible() ? text_->text() : QString();
}

QWidget* ProgressWindowController::window() const { return window_; }
