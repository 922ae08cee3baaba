#include "core/WrenAudioPlayer.h"
#include <nlohmann/json.hpp>

#include <QAudioOutput>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QThread>
#include <QUrl>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "core/UserDefaults.h"

WrenAudioPlayer* WrenAudioPlayer::sharedPlayer() {
    static WrenAudioPlayer* shared = [] {
        auto* p = new WrenAudioPlayer();
        if (auto* app = QCoreApplication::instance()) p->moveToThread(app->thread());
        return p;
    }();
    return shared;
}

WrenAudioPlayer::WrenAudioPlayer() = default;

QString WrenAudioPlayer::pathForAudioName(const QString& name) {
    QString voice = QString::fromStdString(UserDefaults::standard().string("AUDIO_VOICE", "None"));
    if (voice == QLatin1String("None") || name.isEmpty() || name == QLatin1String("None")) return {};
    QString folder;
    if (voice == QLatin1String("Custom")) {
        folder = QString::fromStdString(UserDefaults::standard().string("CUSTOM_VOICE_FOLDER_PATH"));
        if (folder.isEmpty()) return {};
    } else {
        QString sounds = QString::fromStdString(base::AppInfo::shared().resourcesDir()) + QStringLiteral("/Sounds/");
        folder = sounds + voice.toLower();
        // The shipped prompts live in one folder whatever the voice set is called.
        if (!QFileInfo::exists(folder + QLatin1Char('/') + name)) folder = sounds + QStringLiteral("jack");
    }
    QString path = folder + QLatin1Char('/') + name;
    if (!QFileInfo(path).isFile()) {
        spdlog::warn("WrenAudioPlayer: no sound file {}", path.toStdString());
        return {};
    }
    return path;
}

void WrenAudioPlayer::playAudioWithName(const QString& name, bool abortExistignPlayingAudio) {
    QString path = pathForAudioName(name);
    if (path.isEmpty()) return;
    auto* app = QCoreApplication::instance();
    if (!app) return;
    auto* player = sharedPlayer();
    if (QThread::currentThread() == app->thread()) {
        player->play(path, abortExistignPlayingAudio);
    } else {
        QMetaObject::invokeMethod(
            player, [player, path, abortExistignPlayingAudio] { player->play(path, abortExistignPlayingAudio); },
            Qt::QueuedConnection);
    }
}

void WrenAudioPlayer::play(const QString& path, bool abort) {
    if (abort) {
        // Every player still alive is a sound still playing.
        for (auto* other : findChildren<QMediaPlayer*>()) {
            other->stop();
            other->deleteLater();
        }
    }
    // A player per sound: without the abort flag a new prompt plays over the one in progress.
    player_ = new QMediaPlayer(this);
    output_ = new QAudioOutput(player_);
    player_->setAudioOutput(output_);
    QMediaPlayer* p = player_;
    connect(p, &QMediaPlayer::mediaStatusChanged, p, [p](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::EndOfMedia || status == QMediaPlayer::InvalidMedia) p->deleteLater();
    });
    connect(p, &QMediaPlayer::errorOccurred, p, [p](QMediaPlayer::Error, const QString& text) {
        spdlog::error("WrenAudioPlayer: unable to play: {}", text.toStdString());
        p->deleteLater();
    });
    p->setSource(QUrl::fromLocalFile(path));
    p->play();
}
