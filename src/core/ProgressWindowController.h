#pragma once
// The one floating message window: an icon and a message that close
// themselves after a delay. Callable from any thread.
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

class QLabel;
class QTimer;
class QWidget;

class ProgressWindowController : public QObject {
    Q_OBJECT
public:
    static ProgressWindowController* sharedPrgoressWindowController();

    void showWindowWithImage(const QImage& image, const QString& message, double autoCloseAfterDelay);
    void showWindowWithErrorImageAndMessage(const QString& message, double autoCloseAfterDelay);
    void close();

    // For tests: the message on show, "" when hidden.
    QString visibleMessage() const;
    QWidget* window() const;

private:
    ProgressWindowController();
    void showOnMain(const QImage& image, const QString& message, double delay);
    QWidget* window_ = nullptr;
    QLabel* icon_ = nullptr;
    QLabel* text_ = nullptr;
    QTimer* timer_ = nullptr;
};
