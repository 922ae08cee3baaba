#pragma once
// The session screen: counts down over the live view, asks the camera for
// each photo the template needs, keeps a copy of every arriving photo in
// "originals", keys it when green screen is on, checks the arrivals and
// lays the print out. Slow work (capture, copies, layout) runs off the
// interface thread; every timer and screen change runs on it.
#include <QImage>
#include <QPointer>
#include <QStringList>

#include <memory>

#include "base/Executor.h"
#include "booth/WrenTabItem.h"

class QLabel;
class QHBoxLayout;
class QTimer;
class CameraManagerDelegate;
class TETemplateDocument;
class SessionCameraBridge;
class GreenScreenManager;
class SessionGreenScreenDelegate;

class SessionScreenTabItem : public WrenTabItem {
    Q_OBJECT
public:
    explicit SessionScreenTabItem(QWidget* parent = nullptr);
    ~SessionScreenTabItem() override;

    // Starts a new session; `droppedFiles` (checked image files) take the
    // first photo slots, the camera takes the rest.
    void startSession(const QStringList& droppedFiles = {});
    // Ends the session at once (camera removed, quit); nothing is reported.
    void cleanUp() override;
    bool isSessionRunning() const { return running_; }

    // A photo is keyed (or needs no keying): show it and go on. Interface
    // thread; called by the green-screen manager of the session.
    void doneGreenReplacement(const QString& url);

    // Camera callbacks (interface thread), through the session's bridge.
    void didDownloadedImageAtPath(const QString& path);
    void didFailedToTakePicture();
    void showLiveViewFrame(const QImage& frame);

    // The photos needed by the session's template, 0 before it is loaded.
    int photosNeeded() const { return photosNeeded_; }
    int photosProcessed() const { return photoPaths_.size(); }
    // Pictures asked of the camera in this session.
    int photosRequested() const { return photosRequested_; }
    QString statusText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void templateLoaded(std::shared_ptr<TETemplateDocument> document, const QString& error);
    void importDroppedFiles(const QStringList& files);
    void startNextPhoto();
    void countdownTick();
    void requestPicture();
    void pictureTimedOut();
    void photoArrived(const QString& incomingPath);
    void processPhoto(const QString& path);
    // Green screen: the session's keying manager is made here when
    // GREEN_SCREEN_ON is not 2, and keyPhoto hands it each photo (on a thread
    // of its own; the manager calls doneGreenReplacement back). Without one,
    // the photo goes on as it is.
    void createGreenScreenManager();
    void keyPhoto(const QString& path);
    void advanceGreenScreenBackground();
    void releaseGreenScreenManager();
    void checkArrivals();
    void layoutPrint();
    void fail(const QString& message);
    void setStatus(const QString& text);
    void addThumbnail(const QImage& image);
    bool stillCurrent(quint64 session) const { return running_ && session == sessionID_; }

    // Widgets
    QLabel* liveView_ = nullptr;
    QLabel* countdownLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QHBoxLayout* mediaRow_ = nullptr;
    QTimer* countdownTimer_ = nullptr;
    QTimer* arrivalTimer_ = nullptr;
    QTimer* responseTimer_ = nullptr;

    // Session state
    bool running_ = false;
    quint64 sessionID_ = 0;
    std::shared_ptr<TETemplateDocument> document_;
    int photosNeeded_ = 0;
    int photosRequested_ = 0;
    int failures_ = 0;
    int countdown_ = 0;
    int photosInFlight_ = 0;
    bool waitingForShutter_ = false;
    bool layingOut_ = false;
    QStringList photoPaths_;       // incoming paths, in arrival order
    QStringList arrivedPaths_;     // what the camera announced, each path once
    std::shared_ptr<SessionCameraBridge> bridge_;
    std::unique_ptr<base::SerialQueue> takePictureQueue_;
    std::shared_ptr<GreenScreenManager> greenScreen_;
    std::shared_ptr<SessionGreenScreenDelegate> greenScreenDelegate_;
};
