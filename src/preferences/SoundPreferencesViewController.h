#pragma once
// The Sounds pane: the voice set and, per prompt, the sound file played.
#include <QStringList>

#include "preferences/PreferencePane.h"

class QComboBox;
class QLineEdit;
class QPushButton;

class SoundPreferencesViewController : public PreferencePane {
    Q_OBJECT
public:
    SoundPreferencesViewController();
    ~SoundPreferencesViewController() override;

    // The prompt keys in order, with the file names of the "Defaults" voice.
    static const QList<QPair<QString, QString>>& promptDefaults();
    // The folder of the shipped voice (the audio player reads the same one).
    static QString defaultVoiceFolder();

    void createSoundsList();
    // "None" silences every prompt; anything else restores the shipped names.
    void resetTo(const QString& voice);
    void playAudioButtonDidPressed(const QString& identifier);
    void userDidPressedToChooseCustomSoundFolder();
    // Runs the voice-change step for a new AUDIO_VOICE value.
    void audioVoiceDidChange(const QString& newValue);

    const QStringList& allSoundsArray() const { return allSoundsArray_; }
    QLineEdit* customPathField() const { return customPathField_; }
    QPushButton* chooseCustomFolderButton() const { return chooseCustomFolderButton_; }

signals:
    void allSoundsArrayChanged();

protected:
    void buildView(QWidget* view) override;

private:
    void refreshPromptMenus();
    QString audioVoiceOldValue_;
    QStringList allSoundsArray_;
    QLineEdit* customPathField_ = nullptr;
    QPushButton* chooseCustomFolderButton_ = nullptr;
    QList<QComboBox*> promptMenus_;
    std::uint64_t voiceObserver_ = 0;
};
