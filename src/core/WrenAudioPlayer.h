#pragma once
// Plays the voice prompts of the selected voice (setting AUDIO_VOICE).
#include <QObject>
#include <QString>

class QMediaPlayer;
class QAudioOutput;

class WrenAudioPlayer : public QObject {
    Q_OBJECT
public:
    static WrenAudioPlayer* sharedPlayer();
    // Nothing for AUDIO_VOICE or name "None"; else the named file of the voice
    // folder ("Custom": the custom folder; otherwise resources "Sounds/<voice>").
    static void playAudioWithName(const QString& name, bool abortExistignPlayingAudio);
    // The file that would be played, "" for none (tests, the Sounds pane).
    static QString pathForAudioName(const QString& name);

private:
    WrenAudioPlayer();
    void play(const QString& path, bool abort);
    QMediaPlayer* player_ = nullptr;
    QAudioOutput* output_ = nullptr;
};
