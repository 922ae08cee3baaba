#include "booth/QRCodePrint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/Log.h"
#include "booth/BackgroundTask.h"
#include "core/MainQueue.h"
#include "core/Models.h"
#include "core/Notifications.h"
#include "core/WrenUtils.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"

namespace {
// The copy goes into the data folder's "Temp", emptied at quit, so that it is
// never taken for a print of its own (by the gallery or the upload).
QString copyPathFor(const QString& printPath) {
    return WrenUtils::getTempFolderPath() + QLatin1Char('/') + QFileInfo(printPath).completeBaseName() +
           QStringLiteral("_QR.jpg");
}
}  // namespace

QRCodePrint::QRCodePrint(QObject* parent) : QObject(parent) {
    observer_ = base::NotificationCenter::defaultCenter().addObserver(
        kMediaItemDidUploadedNotification, nullptr, &MainQueue::shared(), [this](const base::Notification& n) {
            const auto* item = n.get<std::shared_ptr<MediaItemModel>>("UploadedItem");
            if (item && *item) registered((*item)->ID, (*item)->uploadURL);
        });
}

QRCodePrint::~QRCodePrint() {
    base::NotificationCenter::defaultCenter().removeObserver(observer_);
}

void QRCodePrint::follow(std::int64_t mediaID, std::shared_ptr<LayoutEngine> engine, const QString& printPath) {
    stop();
    if (!lastCopy_.isEmpty()) QFile::remove(std::exchange(lastCopy_, QString()));
    if (mediaID <= 0 || !engine || !engine->document() || !engine->document()->hasQRCodeLayer()) return;
    mediaID_ = mediaID;
    engine_ = std::move(engine);
    printPath_ = printPath;
}

void QRCodePrint::stop() {
    ++generation_;
    mediaID_ = 0;
    engine_.reset();
    printPath_.clear();
}

void QRCodePrint::registered(std::int64_t mediaID, const QString& address) {
    if (mediaID_ <= 0 || mediaID != mediaID_) return;  // another print's, or after its session
    if (address.isEmpty()) {
        spdlog::info("QRCodePrint: media item {} has no public address, the print stays plain", mediaID);
        return;
    }
    // One copy a session: another answer must not rewrite a copy that may be printing.
    auto engine = std::move(engine_);
    mediaID_ = 0;
    // The code is made at the size of the largest QR-code layer, so that its
    // modules are drawn unscaled.
    int side = 0;
    for (const auto& layer : engine->document()->layers)
        if (layer.type == TETemplateLayer::Type::QRCode)
            side = std::max(side, int(std::ceil(std::min(layer.frame.width(), layer.frame.height()))));
    const QString path = copyPathFor(printPath_);
    const quint64 generation = generation_;
    runInBackground(
        this,
        [engine, address, side, path] {
            const QImage code = WrenUtils::qrCodeImage(address, side);
            if (code.isNull()) return false;
            const QString folder = QFileInfo(path).absolutePath();
            if (!QDir().mkpath(folder)) {
                spdlog::error("QRCodePrint: unable to create the folder {}", folder.toStdString());
                return false;
            }
            QString error;  // the engine logs what went wrong
            return engine->layoutWithQRCode(code, path, &error);
        },
        [this, generation, path](bool made) {
            if (generation != generation_) {
                // The session ended meanwhile: its copy is of no use to anyone.
                if (made) QFile::remove(path);
                return;
            }
            if (made) {
                spdlog::info("QRCodePrint: wrote {}", path.toStdString());
                lastCopy_ = path;
                emit copyReady(path);
            }
        });
}
