#include "preferences/SoundPreferencesViewController.h"
#include <nlohmann/json.hpp>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <spdlog/spdlog.h>

#include "base/AppInfo.h"
#include "core/MainQueue.h"
#include "core/UserDefaults.h"
#include "core/WrenAudioPlayer.h"
#include "preferences/CustomControls.h"
#include "preferences/ValueTransformers.h"
#include "templates/TEUtils.h"

namespace {
const char* kPlaceholder = "Select path using 'Browse' button.";
}

SoundPreferencesViewController::SoundPreferencesViewController()
    : PreferencePane("SoundPreferences", "appbar.speakerphone", "Sounds") {
    audioVoiceOldValue_ = TEUtils::getUserSettingForKey("AUDIO_VOICE").toString();
}

SoundPreferencesViewController::~SoundPreferencesViewController() {
    if (voiceObserver_) UserDefaults::standard().unobserve(voiceObserver_);
}

const QList<QPair<QString, QString>>& SoundPreferencesViewController::promptDefaults() {
    static const QList<QPair<QString, QString>> kPrompts = {
        {"AUDIO_PHOTO_1", "get-ready.mp3"},       {"AUDIO_PHOTO_2", "smile.mp3"},
        {"AUDIO_PHOTO_3", "say-cheese.mp3"},      {"AUDIO_PHOTO_4", "last-one.mp3"},
        {"AUDIO_PROCESSING", "looking-good.mp3"}, {"AUDIO_SHARE_PHOTO", "share-your-photos.mp3"},
        {"AUDIO_THANK_YOU", "thank-you.mp3"},
    };
    return kPrompts;
}

QString SoundPreferencesViewController::defaultVoiceFolder() {
    return QString::fromStdString(base::AppInfo::shared().resourcesDir()) + "/Sounds/defaults";
}

void SoundPreferencesViewController::buildView(QWidget* view) {
    auto* form = new QFormLayout(view);
    auto* voice = new QComboBox();
    voice->setObjectName("AUDIO_VOICE");
    voice->addItems({"None", "Defaults", "Custom"});
    binder()->bindComboBox(voice, "AUDIO_VOICE");
    form->addRow("Voice:", voice);

    auto* folderRow = new QHBoxLayout();
    customPathField_ = new VerticallyCenteredTextField();
    customPathField_->setObjectName("customPathField");
    customPathField_->setReadOnly(true);
    binder()->bindLineEdit(customPathField_, "CUSTOM_VOICE_FOLDER_PATH");
    chooseCustomFolderButton_ = new QPushButton("Browse");
    chooseCustomFolderButton_->setObjectName("chooseCustomFolderButton");
    connect(chooseCustomFolderButton_, &QPushButton::clicked, this, [this] { userDidPressedToChooseCustomSoundFolder(); });
    folderRow->addWidget(customPathField_, 1);
    folderRow->addWidget(chooseCustomFolderButton_);
    form->addRow("Custom voice folder:", folderRow);
    bool custom = audioVoiceOldValue_ == "Custom";
    chooseCustomFolderButton_->setEnabled(custom);
    customPathField_->setEnabled(custom);

    static const QStringList kLabels = {"Photo 1", "Photo 2", "Photo 3", "Photo 4",
                                        "Processing", "Share your photos", "Thank you"};
    auto* playable = ValueTransformer::valueTransformerForName("ValueNoneOrAudioNoneToBoolTransformer");
    int i = 0;
    for (auto& [key, file] : promptDefaults()) {
        auto* row = new QHBoxLayout();
        auto* menu = new QComboBox();
        menu->setObjectName(key);
        promptMenus_ << menu;
        auto* play = new QPushButton("Play");
        QString id = key.mid(QStringLiteral("AUDIO_").size());
        play->setObjectName(id);
        connect(play, &QPushButton::clicked, this, [this, id] { playAudioButtonDidPressed(id); });
        binder()->bindEnabled(play, key, [playable](const QVariant& v) {
            return playable ? playable->transformedValue(v).toBool() : v.isValid();
        });
        row->addWidget(menu, 1);
        row->addWidget(play);
        form->addRow(kLabels.value(i++) + ":", row);
    }
    createSoundsList();
    for (int m = 0; m < promptMenus_.size(); ++m) binder()->bindComboBox(promptMenus_[m], promptDefaults()[m].first);

    QPointer<SoundPreferencesViewController> self(this);
    voiceObserver_ = UserDefaults::standard().observe("AUDIO_VOICE", [self](const std::string&) {
        runOnMainThread([self] {
            if (self) self->audioVoiceDidChange(TEUtils::getUserSettingForKey("AUDIO_VOICE").toString());
        });
    });
    view->setMinimumSize(520, 340);
    view->resize(520, 340);
}

void SoundPreferencesViewController::audioVoiceDidChange(const QString& n) {
    const QString o = audioVoiceOldValue_;
    if (n == "None" || n == "Custom") {
        resetTo("None");
        if (customPathField_) customPathField_->setPlaceholderText(QString());
    } else if (o == "None" || o == "Custom") {
        resetTo("Defaults");
    }
    bool custom = n == "Custom";
    if (chooseCustomFolderButton_) chooseCustomFolderButton_->setEnabled(custom);
    if (customPathField_) customPathField_->setEnabled(custom);
    createSoundsList();
    audioVoiceOldValue_ = n;
}

void SoundPreferencesViewController::createSoundsList() {
    QString voice = TEUtils::getUserSettingForKey("AUDIO_VOICE").toString();
    if (voice == "None") return;
    QString folder = defaultVoiceFolder();
    if (voice == "Custom") folder = TEUtils::getUserSettingForKey("CUSTOM_VOICE_FOLDER_PATH").toString();
    if (folder.isEmpty()) {
        spdlog::info("SoundPrefrences: No URL folder specified by user so nothing to do.");
        if (customPathField_) customPathField_->setPlaceholderText(kPlaceholder);
        return;
    }
    if (customPathField_) customPathField_->setPlaceholderText(QString());
    allSoundsArray_.clear();
    emit allSoundsArrayChanged();
    QDir dir(folder);
    if (!dir.exists()) {
        spdlog::error("[Error] folder not found ({})", folder.toStdString());
    } else {
        // Direct entries only, hidden files skipped, in the file system's order.
        for (const QString& name : dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted)) {
            if (name.startsWith('_')) continue;
            if (name.endsWith(".mp3")) allSoundsArray_ << name;
        }
    }
    allSoundsArray_.prepend("None");
    emit allSoundsArrayChanged();
    refreshPromptMenus();
}

void SoundPreferencesViewController::refreshPromptMenus() {
    for (int m = 0; m < promptMenus_.size(); ++m) {
        auto* menu = promptMenus_[m];
        QSignalBlocker block(menu);
        menu->clear();
        menu->addItems(allSoundsArray_);
        QString current = TEUtils::getUserSettingForKey(promptDefaults()[m].first).toString();
        int i = menu->findText(current);
        if (i < 0 && !current.isEmpty()) {
            menu->addItem(current);  // keep showing a choice the folder no longer has
            i = menu->count() - 1;
        }
        menu->setCurrentIndex(i);
    }
}

void SoundPreferencesViewController::resetTo(const QString& voice) {
    auto& d = UserDefaults::standard();
    for (auto& [key, file] : promptDefaults())
        d.set(key.toStdString(), (voice == "None" ? QString("None") : file).toStdString());
    refreshPromptMenus();
}

void SoundPreferencesViewController::playAudioButtonDidPressed(const QString& identifier) {
    QVariant name = TEUtils::getUserSettingForKey("AUDIO_" + identifier);
    if (name.isValid() && !name.toString().isEmpty()) WrenAudioPlayer::playAudioWithName(name.toString(), true);
}

void SoundPreferencesViewController::userDidPressedToChooseCustomSoundFolder() {
    QString folder = chooseFolder("Select custom Voice folder");
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) return;
    TEUtils::setUserSetting(folder, "CUSTOM_VOICE_FOLDER_PATH");
    QPointer<SoundPreferencesViewController> self(this);
    QTimer::singleShot(100, this, [self] {
        if (self) self->createSoundsList();
    });
}
