#pragma once
// The desktop's ways of ending a program (log-out, shutdown, Ctrl+C in a
// terminal: SIGTERM, SIGHUP, SIGINT) start the same orderly quit as the
// Quit command. The handler only writes the signal's number into a pipe;
// the event loop reads it and emits quitRequested.
#include <QObject>

class QSocketNotifier;

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers (once per process); the object lives as long
    // as its parent.
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested(int signalNumber);

private:
    void readSignals();
    QSocketNotifier* notifier_ = nullptr;
};
