#include "booth/SessionScreenTabItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QMetaObject>
#include <QCoreApplication>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <functional>
#include <mutex>

#include "base/Log.h"
#include "booth/BackgroundTask.h"
#include "booth/BoothSettings.h"
#include "camera/CameraErrors.h"
#include "camera/CameraManager.h"
#include "core/KeptRows.h"
#include "core/MediaItemHelper.h"
#include "core/Models.h"
#include "core/PhotoSession.h"
#include "core/UserDefaults.h"
#include "core/WrenAudioPlayer.h"
#include "core/WrenUtils.h"
#include "greenscreen/GreenScreenManager.h"
#include "sharing/Analytics.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"
#include "templates/TETemplateLibrary.h"

namespace {
constexpr int kThumbHeight = 110;
constexpr int kMaxFailures = 2;

// Every kind of image the readers know: a guest may drop a GIF, and a file
// the drop accepted must count when it arrives.
const QStringList& imageSuffixes() {
    static const QStringList suffixes = [] {
        QStringList out;
        for (const QByteArray& format : QImageReader::supportedImageFormats())
            out << QString::fromLatin1(format).toLower();
        return out;
    }();
    return suffixes;
}

QStringList imageFilesIn(const QString& folder) {
    QStringList out;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files, QDir::Name))
        if (imageSuffixes().contains(info.suffix().toLower())) out << info.absoluteFilePath();
    return out;
}

// Copies a photo into "originals" under its own name. "" when it is kept,
// or when the copy cannot be made for another reason than space (logged:
// the session goes on without it); the disk-full message when the disk is
// full, which ends the session before the print fails too.
QString archiveOriginal(const QString& incomingPath) {
    const QString originals = WrenUtils::getOriginalsFolderPath();
    const QString name = QFileInfo(incomingPath).fileName();
    if (!QDir().mkpath(originals)) {
        if (WrenUtils::isDiskFull(originals)) return WrenUtils::diskFullMessage(WrenUtils::getDataDirectory());
        spdlog::warn("SessionScreen: no originals folder at {}; {} is not archived", originals.toStdString(),
                     name.toStdString());
        return {};
    }
    const QString target = originals + QLatin1Char('/') + name;
    QFile::remove(target);
    if (QFile::copy(incomingPath, target)) return {};
    QFile::remove(target);  // never a half-written copy
    if (WrenUtils::isDiskFull(originals)) {
        spdlog::error("SessionScreen: the disk is full, unable to archive {}", name.toStdString());
        return WrenUtils::diskFullMessage(WrenUtils::getDataDirectory());
    }
    spdlog::error("SessionScreen: unable to copy {} into originals", incomingPath.toStdString());
    return {};
}

QImage loadScaled(const QString& path, const QSize& box) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid() && (full.width() > box.width() || full.height() > box.height()))
        reader.setScaledSize(full.scaled(box, Qt::KeepAspectRatio));
    return reader.read();
}
}  // namespace

// The camera manager's delegate while a session runs. The manager holds it
// strongly; it forwards to the screen as long as the screen exists and has
// not let go of it.
class SessionCameraBridge : public CameraManagerDelegate, public std::enable_shared_from_this<SessionCameraBridge> {
public:
    explicit SessionCameraBridge(SessionScreenTabItem* screen) : screen_(screen) {}
    void detach() {
        std::lock_guard lock(mutex_);
        screen_.clear();
    }
    QPointer<SessionScreenTabItem> screen() {
        std::lock_guard lock(mutex_);
        return screen_;
    }
    void didDownloadedImageAtPath(const QString& path) override {
        if (auto s = screen()) s->didDownloadedImageAtPath(path);
    }
    void deviceReadyToTakePhoto() override {}
    void didFailedToTakePicture() override {
        if (auto s = screen()) s->didFailedToTakePicture();
    }
    void didStartedLiveView() override {}
    // Keys live-view frames on the live-view thread when green screen keys
    // the live view; null shows frames as they come.
    void setLiveViewKeyer(std::function<QImage(const QImage&)> keyer) {
        std::lock_guard lock(mutex_);
        keyer_ = std::move(keyer);
    }
    void didReceivedLiveViewImage(const QImage& image) override {
        // On the live-view thread: key, mirror and shrink here, show on the
        // interface thread, and drop frames while one is still waiting.
        if (framePending_.exchange(true)) return;
        std::function<QImage(const QImage&)> keyer;
        {
            std::lock_guard lock(mutex_);
            keyer = keyer_;
        }
        QImage frame = keyer ? keyer(image) : image;
        if (frame.isNull()) {
            // The keyer dropped it (a photo is being keyed): keep the last one.
            framePending_ = false;
            return;
        }
        if (UserDefaults::standard().boolean("MirrorLiveView", true)) frame = frame.mirrored(true, false);
        if (frame.width() > 1280) frame = frame.scaledToWidth(1280, Qt::FastTransformation);
        auto target = screen();
        QMetaObject::invokeMethod(
            qApp,
            [self = shared_from_this(), target, frame] {
                self->framePending_ = false;
                if (target) target->showLiveViewFrame(frame);
            },
            Qt::QueuedConnection);
    }

private:
    std::mutex mutex_;
    QPointer<SessionScreenTabItem> screen_;
    std::function<QImage(const QImage&)> keyer_;
    std::atomic<bool> framePending_{false};
};

// The green-screen manager's delegate for one session: forwards keyed photos
// to the screen until the session is let go of.
class SessionGreenScreenDelegate : public GreenScreenManagerDelegate {
public:
    explicit SessionGreenScreenDelegate(SessionScreenTabItem* screen) : screen_(screen) {}
    void detach() { screen_.clear(); }  // interface thread, like the calls
    void doneGreenReplacement(const QString& photoPath) override {
        if (screen_) screen_->doneGreenReplacement(photoPath);
    }

private:
    QPointer<SessionScreenTabItem> screen_;
};

SessionScreenTabItem::SessionScreenTabItem(QWidget* parent) : WrenTabItem(parent) {
    setObjectName(QStringLiteral("SessionScreen"));
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(QStringLiteral("SessionScreenTabItem { background: #111; }"));
    setAttribute(Qt::WA_StyledBackground);

    auto* layout = new QVBoxLayout(this);
    statusLabel_ = new QLabel(this);
    statusLabel_->setObjectName(QStringLiteral("SessionStatus"));
    statusLabel_->setAlignment(Qt::AlignCenter);
    statusLabel_->setStyleSheet(QStringLiteral("color: white; font-size: 36px; font-weight: bold;"));

    liveView_ = new QLabel(this);
    liveView_->setObjectName(QStringLiteral("LiveView"));
    liveView_->setAlignment(Qt::AlignCenter);
    liveView_->setMinimumSize(320, 240);
    liveView_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    liveView_->setStyleSheet(QStringLiteral("background: black;"));

    countdownLabel_ = new QLabel(liveView_);
    countdownLabel_->setObjectName(QStringLiteral("Countdown"));
    countdownLabel_->setAlignment(Qt::AlignCenter);
    countdownLabel_->setStyleSheet(QStringLiteral(
        "color: white; font-size: 180px; font-weight: bold; background: transparent;"));
    countdownLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* overlay = new QVBoxLayout(liveView_);
    overlay->addWidget(countdownLabel_);

    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("MediaRow"));
    row->setFixedHeight(kThumbHeight + 12);
    mediaRow_ = new QHBoxLayout(row);
    mediaRow_->setContentsMargins(4, 4, 4, 4);
    mediaRow_->addStretch(1);

    layout->addWidget(statusLabel_);
    layout->addWidget(liveView_, 1);
    layout->addWidget(row);

    countdownTimer_ = new QTimer(this);
    countdownTimer_->setInterval(1000);
    connect(countdownTimer_, &QTimer::timeout, this, &SessionScreenTabItem::countdownTick);
    arrivalTimer_ = new QTimer(this);
    arrivalTimer_->setSingleShot(true);
    connect(arrivalTimer_, &QTimer::timeout, this, &SessionScreenTabItem::checkArrivals);
    responseTimer_ = new QTimer(this);
    responseTimer_->setSingleShot(true);
    connect(responseTimer_, &QTimer::timeout, this, &SessionScreenTabItem::pictureTimedOut);
}

SessionScreenTabItem::~SessionScreenTabItem() {
    cleanUp();
    // A camera that never answered keeps its request; let the queue go
    // without waiting for it at quit.
    if (takePictureQueue_) (void)takePictureQueue_.release();
}

QString SessionScreenTabItem::statusText() const {
    return statusLabel_->text();
}

void SessionScreenTabItem::setStatus(const QString& text) {
    statusLabel_->setText(text);
}

void SessionScreenTabItem::startSession(const QStringList& droppedFiles) {
    cleanUp();
    running_ = true;
    const quint64 session = ++sessionID_;
    PhotoSession::session().reset();
    setStatus(QStringLiteral("Get ready!"));
    countdownLabel_->clear();
    liveView_->clear();
    spdlog::info("SessionScreen: session {} starts{}", session,
                 droppedFiles.isEmpty() ? "" : " with dropped files");
    Analytics::trackNewPhotoSession(!droppedFiles.isEmpty() ? QStringLiteral("Drop")
                                    : UserDefaults::standard().boolean("trigger_camera", true)
                                        ? QStringLiteral("Auto")
                                        : QStringLiteral("Manual"));

    if (!takePictureQueue_) takePictureQueue_ = std::make_unique<base::SerialQueue>("com.flashwren.take-picture");

    // Emptying the incoming folder and reading the template touch the disk.
    runInBackground(
        this,
        [] {
            WrenUtils::emptyDirectoryAtPath(WrenUtils::getIncomingFolderPath());
            QString error;
            auto document = TETemplateLibrary::sharedLibrary().loadSelectedTemplate(&error);
            return std::make_pair(document, error);
        },
        [this, session, droppedFiles](std::pair<std::shared_ptr<TETemplateDocument>, QString> loaded) {
            if (!stillCurrent(session)) return;
            templateLoaded(loaded.first, loaded.second);
            if (!running_) return;
            if (!droppedFiles.isEmpty()) {
                importDroppedFiles(droppedFiles);
            } else {
                startNextPhoto();
            }
        });
}

void SessionScreenTabItem::templateLoaded(std::shared_ptr<TETemplateDocument> document, const QString& error) {
    if (!document) {
        fail(QStringLiteral("Unable to load the selected template. %1").arg(error));
        return;
    }
    document_ = document;
    photosNeeded_ = document->numberOfPhotos();
    bridge_ = std::make_shared<SessionCameraBridge>(this);
    createGreenScreenManager();
    CameraManager::sharedCameraManager().setDelegate(bridge_);
}

void SessionScreenTabItem::importDroppedFiles(const QStringList& files) {
    const quint64 session = sessionID_;
    const QStringList use = files.mid(0, photosNeeded_);
    photosRequested_ += use.size();
    photosInFlight_ += use.size();
    // Dropped files arrive like camera photos (copied into "incoming" and
    // archived), one after another so that they keep the guest's order.
    runInBackground(
        this,
        [use] {
            // The photos copied, and why the copying stopped ("" when it did not).
            std::pair<QStringList, QString> outcome;
            const QString incoming = WrenUtils::getIncomingFolderPath();
            QDir().mkpath(incoming);
            for (const QString& file : use) {
                // A file the readers took by its content ("IMG_0042", "photo.jpg.part")
                // gets the suffix of its format, so that it counts as arrived.
                QFileInfo info(file);
                if (!imageSuffixes().contains(info.suffix().toLower()))
                    info = QFileInfo(info.fileName() + QLatin1Char('.') + QString::fromLatin1(QImageReader(file).format()));
                QString target = incoming + QLatin1Char('/') + info.fileName();
                for (int n = 1; QFileInfo::exists(target); ++n)
                    target = incoming + QStringLiteral("/%1_%2.%3").arg(info.completeBaseName()).arg(n).arg(info.suffix());
                if (!QFile::copy(file, target)) {
                    QFile::remove(target);
                    outcome.second = WrenUtils::isDiskFull(incoming)
                                         ? WrenUtils::diskFullMessage(WrenUtils::getDataDirectory())
                                         : QStringLiteral("Unable to use the dropped file %1.").arg(info.fileName());
                    return outcome;
                }
                outcome.second = archiveOriginal(target);
                if (!outcome.second.isEmpty()) return outcome;
                outcome.first << target;
            }
            return outcome;
        },
        [this, session](std::pair<QStringList, QString> outcome) {
            if (!stillCurrent(session)) return;
            if (!outcome.second.isEmpty()) {
                fail(outcome.second);
                return;
            }
            countdownLabel_->clear();
            for (const QString& path : outcome.first) {
                --photosInFlight_;
                processPhoto(path);
            }
        });
}

void SessionScreenTabItem::startNextPhoto() {
    if (!running_) return;
    const int number = photosRequested_ + 1;
    spdlog::info("SessionScreen: photo {} of {}", number, photosNeeded_);
    setStatus(QStringLiteral("Photo %1 of %2").arg(number).arg(photosNeeded_));
    WrenAudioPlayer::playAudioWithName(
        QString::fromStdString(UserDefaults::standard().string("AUDIO_PHOTO_" + std::to_string(std::min(number, 4)),
                                                               "None")),
        true);
    if (UserDefaults::standard().boolean("LiveViewEnabled", true)) CameraManager::sharedCameraManager().startLiveView();
    countdown_ = int(UserDefaults::standard().integer(BoothSettings::kCountdownSeconds, 3));
    if (countdown_ <= 0) {
        countdownLabel_->clear();
        QTimer::singleShot(0, this, [this, session = sessionID_] {
            if (stillCurrent(session)) countdownTick();
        });
        return;
    }
    countdownLabel_->setText(QString::number(countdown_));
    countdownTimer_->start();
}

void SessionScreenTabItem::countdownTick() {
    if (--countdown_ > 0) {
        countdownLabel_->setText(QString::number(countdown_));
        return;
    }
    countdownTimer_->stop();
    if (UserDefaults::standard().boolean("trigger_camera", true)) {
        requestPicture();
    } else {
        // The guest takes the picture with the space bar, a touch on the
        // screen or the camera's own shutter button.
        countdownLabel_->clear();
        waitingForShutter_ = true;
        setStatus(QStringLiteral("Press the space bar or touch the screen to take the photo"));
    }
}

void SessionScreenTabItem::requestPicture() {
    waitingForShutter_ = false;
    ++photosRequested_;
    ++photosInFlight_;
    countdownLabel_->setText(QStringLiteral("Smile!"));
    auto& camera = CameraManager::sharedCameraManager();
    camera.endLiveView();
    takePictureQueue_->post([] { CameraManager::sharedCameraManager().takePicture(); });
    responseTimer_->start(int(UserDefaults::standard().real(BoothSettings::kCameraTimeoutSeconds, 20) * 1000));
}

void SessionScreenTabItem::pictureTimedOut() {
    if (!running_) return;
    spdlog::error("SessionScreen: the camera did not deliver a photo in time");
    fail(CameraErrors::messageForCode(CameraMessageTimedOut));
}

void SessionScreenTabItem::didDownloadedImageAtPath(const QString& path) {
    if (!running_ || !document_) {
        spdlog::warn("SessionScreen: photo {} arrived outside a session", path.toStdString());
        return;
    }
    // A camera may announce one download twice; the photo counts once.
    if (arrivedPaths_.contains(path)) return;
    arrivedPaths_ << path;
    if (photosInFlight_ > 0) {
        --photosInFlight_;
    } else {
        ++photosRequested_;  // taken with the camera's own shutter button
        waitingForShutter_ = false;
        countdownTimer_->stop();
    }
    if (photosInFlight_ == 0) responseTimer_->stop();
    if (auto model = CameraManager::sharedCameraManager().cameraModel())
        Analytics::trackCapture(QStringLiteral("Photo"), model->name());
    photoArrived(path);
}

void SessionScreenTabItem::didFailedToTakePicture() {
    if (!running_) return;
    responseTimer_->stop();
    if (photosInFlight_ > 0) --photosInFlight_;
    --photosRequested_;
    if (++failures_ > kMaxFailures) {
        fail(CameraErrors::messageForCode(CameraMessageTakePictureFailed));
        return;
    }
    spdlog::warn("SessionScreen: picture failed, trying again");
    startNextPhoto();
}

void SessionScreenTabItem::photoArrived(const QString& incomingPath) {
    const quint64 session = sessionID_;
    countdownLabel_->clear();
    // Every photo is archived in "originals" before anything changes it.
    runInBackground(
        this, [incomingPath] { return archiveOriginal(incomingPath); },
        [this, session, incomingPath](QString problem) {
            if (!stillCurrent(session)) return;
            if (!problem.isEmpty()) {
                fail(problem);
                return;
            }
            processPhoto(incomingPath);
        });
}

void SessionScreenTabItem::processPhoto(const QString& path) {
    keyPhoto(path);
}

void SessionScreenTabItem::createGreenScreenManager() {
    // GREEN_SCREEN_ON: 0 keys photos and the live view, 1 photos only, 2 is off.
    releaseGreenScreenManager();
    const auto mode = UserDefaults::standard().integer(kGreenScreenOnKey, 2);
    if (mode == 2) return;
    try {
        greenScreen_ = std::make_shared<GreenScreenManager>();
    } catch (const NoGreenScreenBackgroundException& e) {
        spdlog::error("SessionScreen: green screen is on but unusable: {}", e.reason().simplified().toStdString());
        return;
    }
    Analytics::trackGreenScreen();
    greenScreenDelegate_ = std::make_shared<SessionGreenScreenDelegate>(this);
    greenScreen_->setDelegate(greenScreenDelegate_);
    if (mode == 0 && bridge_) {
        bridge_->setLiveViewKeyer([manager = greenScreen_](const QImage& frame) {
            manager->setImageNumber(-1);
            return manager->replaceBackgroundInImageForLiveView(frame);
        });
    }
}

void SessionScreenTabItem::releaseGreenScreenManager() {
    if (greenScreenDelegate_) greenScreenDelegate_->detach();
    greenScreenDelegate_.reset();
    if (bridge_) bridge_->setLiveViewKeyer(nullptr);
    if (auto manager = std::move(greenScreen_)) {
        // It finishes the photo in hand before it goes: not on this thread.
        base::ThreadPool::shared().post([manager]() mutable { manager.reset(); });
    }
}

void SessionScreenTabItem::keyPhoto(const QString& path) {
    if (!greenScreen_) {
        doneGreenReplacement(path);
        return;
    }
    greenScreen_->setImageNumber(photoPaths_.size() + 1);
    greenScreen_->replaceBackgroundInImageFromURL(path);
}

void SessionScreenTabItem::advanceGreenScreenBackground() {
    if (greenScreen_) greenScreen_->updateBackgroundImageIndex();
}

void SessionScreenTabItem::doneGreenReplacement(const QString& url) {
    if (!running_) return;
    const QString path = url.startsWith(QLatin1String("file://")) ? QUrl(url).toLocalFile() : url;
    if (photoPaths_.contains(path)) return;
    photoPaths_ << path;
    const quint64 session = sessionID_;
    const QSize box = liveView_->size().expandedTo(QSize(640, 480));
    runInBackground(
        this, [path, box] { return loadScaled(path, box); },
        [this, session](QImage image) {
            if (!stillCurrent(session) || image.isNull()) return;
            liveView_->setPixmap(QPixmap::fromImage(image.scaled(liveView_->size(), Qt::KeepAspectRatio,
                                                                 Qt::SmoothTransformation)));
            addThumbnail(image);
        });
    arrivalTimer_->start(int(UserDefaults::standard().real(BoothSettings::kArrivalCheckSeconds, 3) * 1000));
}

void SessionScreenTabItem::checkArrivals() {
    if (!running_ || layingOut_) return;
    const quint64 session = sessionID_;
    runInBackground(
        this, [] { return imageFilesIn(WrenUtils::getIncomingFolderPath()).size(); },
        [this, session](qsizetype present) {
            if (!stillCurrent(session) || layingOut_) return;
            spdlog::info("SessionScreen: {} of {} photos present", present, photosNeeded_);
            if (present >= photosNeeded_ && photoPaths_.size() >= photosNeeded_) {
                layoutPrint();
            } else if (photosInFlight_ == 0 && photosRequested_ < photosNeeded_) {
                advanceGreenScreenBackground();
                startNextPhoto();
            }
        });
}

void SessionScreenTabItem::layoutPrint() {
    layingOut_ = true;
    const quint64 session = sessionID_;
    setStatus(QStringLiteral("Processing..."));
    countdownLabel_->clear();
    CameraManager::sharedCameraManager().endLiveView();
    WrenAudioPlayer::playAudioWithName(
        QString::fromStdString(UserDefaults::standard().string("AUDIO_PROCESSING", "None")), true);
    auto engine = std::make_shared<LayoutEngine>(document_);
    const QStringList photos = photoPaths_.mid(0, photosNeeded_);
    struct Outcome {
        std::optional<LayoutResult> result;
        QString error;
        std::shared_ptr<MediaItemModel> item;
    };
    runInBackground(
        this,
        [engine, photos] {
            Outcome out;
            out.result = engine->layoutPhotos(photos, &out.error);
            if (!out.result) {
                // The engine left nothing behind; say plainly when space was the cause.
                if (WrenUtils::isDiskFull(WrenUtils::getPrintsFolderPath()))
                    out.error = WrenUtils::diskFullMessage(WrenUtils::getDataDirectory());
                else
                    out.error = QStringLiteral("Unable to make the print. %1").arg(out.error);
                return out;
            }
            auto item = std::make_shared<MediaItemModel>();
            item->filePath = out.result->printPath;
            item->fileName = QFileInfo(out.result->printPath).fileName();
            item->albumName = QString::fromStdString(UserDefaults::standard().string("ALBUM_NAME"));
            // A row the database cannot take now (another program holding
            // it) is kept and stored once it can; its upload starts then.
            KeptRows::saveOrKeep(item);
            MediaItemHelper::addNewlyCreatedMediaItemToCache(item);
            out.item = item;
            return out;
        },
        [this, session, engine, photos](Outcome out) {
            if (!stillCurrent(session)) return;
            layingOut_ = false;
            if (!out.result) {
                fail(out.error);
                return;
            }
            auto& record = PhotoSession::session();
            record.printImagePath = out.result->printPath;
            record.printMediaID = out.item ? out.item->ID : 0;
            record.layoutEngine = engine;
            record.imagesUsed = photos;
            spdlog::info("SessionScreen: session {} finished with {}", session, out.result->printPath.toStdString());
            running_ = false;
            reportFinished();
        });
}

void SessionScreenTabItem::fail(const QString& message) {
    if (!running_) return;
    spdlog::error("SessionScreen: {}", message.toStdString());
    cleanUp();
    reportFailure(message);
}

void SessionScreenTabItem::cleanUp() {
    running_ = false;
    layingOut_ = false;
    countdownTimer_->stop();
    arrivalTimer_->stop();
    responseTimer_->stop();
    releaseGreenScreenManager();
    if (bridge_) {
        auto& camera = CameraManager::sharedCameraManager();
        camera.endLiveView();
        if (camera.delegate() == bridge_) camera.setDelegate(nullptr);
        bridge_->detach();
        bridge_.reset();
    }
    document_.reset();
    photosNeeded_ = 0;
    photosRequested_ = 0;
    photosInFlight_ = 0;
    failures_ = 0;
    waitingForShutter_ = false;
    photoPaths_.clear();
    arrivedPaths_.clear();
    countdownLabel_->clear();
    while (mediaRow_->count() > 1) {
        QLayoutItem* item = mediaRow_->takeAt(0);
        delete item->widget();
        delete item;
    }
}

void SessionScreenTabItem::showLiveViewFrame(const QImage& frame) {
    if (!running_ || layingOut_ || !CameraManager::sharedCameraManager().isLiveViewRunning()) return;
    liveView_->setPixmap(QPixmap::fromImage(frame.scaled(liveView_->size(), Qt::KeepAspectRatio,
                                                         Qt::FastTransformation)));
}

void SessionScreenTabItem::addThumbnail(const QImage& image) {
    auto* thumb = new QLabel();
    thumb->setPixmap(QPixmap::fromImage(image.scaledToHeight(kThumbHeight, Qt::SmoothTransformation)));
    thumb->setStyleSheet(QStringLiteral("border: 2px solid white;"));
    mediaRow_->insertWidget(mediaRow_->count() - 1, thumb);
}

void SessionScreenTabItem::mousePressEvent(QMouseEvent* event) {
    // A touch-screen booth has no space bar: a touch (or click) anywhere on
    // the screen is the shutter.
    if (event->button() == Qt::LeftButton && running_ && waitingForShutter_) {
        requestPicture();
        return;
    }
    WrenTabItem::mousePressEvent(event);
}

void SessionScreenTabItem::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat() && running_ && waitingForShutter_) {
        requestPicture();
        return;
    }
    WrenTabItem::keyPressEvent(event);
}
