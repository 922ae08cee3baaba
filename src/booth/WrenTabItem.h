#pragma once
// The three screens of the main window (home, session, final sharing screen)
// and how they report to the application controller, which drives their
// cycle: home, session, final screen, home again.
#include <QString>
#include <QStringList>
#include <QWidget>

class WrenTabItem;

class BoothScreensDelegate {
public:
    virtual ~BoothScreensDelegate() = default;
    // The screen is done; the controller cleans it up and selects the next.
    virtual void screenDidFinish(WrenTabItem* screen) = 0;
    // The screen could not go on; `message` is shown and the booth goes home.
    virtual void screenDidFail(WrenTabItem* screen, const QString& message) = 0;
    // A guest asked for a session (click, space bar, dropped files).
    virtual void userDidRequestSession(const QStringList& droppedFiles) = 0;
};

class WrenTabItem : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    void setDelegate(BoothScreensDelegate* delegate) { delegate_ = delegate; }
    BoothScreensDelegate* delegate() const { return delegate_; }
    // Called after the controller selected the screen, and before it leaves.
    virtual void cleanUp() {}

protected:
    void reportFinished() {
        if (delegate_) delegate_->screenDidFinish(this);
    }
    void reportFailure(const QString& message) {
        if (delegate_) delegate_->screenDidFail(this, message);
    }

private:
    BoothScreensDelegate* delegate_ = nullptr;
};
