#pragma once
// The copy of a session's print that carries, in the template's QR-code
// layer, the QR code of the print's public address. It is made when the
// print's registration answers while the session's final screen shows; an
// answer for any other print, or one that comes after the final screen
// stopped following its session, changes nothing.
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

#include "base/NotificationCenter.h"

class LayoutEngine;

class QRCodePrint : public QObject {
    Q_OBJECT
public:
    explicit QRCodePrint(QObject* parent = nullptr);
    ~QRCodePrint() override;

    // Follows the registration of the print `printPath` (media row
    // `mediaID`), laid out by `engine`. Without a row, an engine or a
    // QR-code layer in its template there is nothing to follow. The copy of
    // the session before goes: its print was made long since, and a long
    // event would otherwise keep every guest's copy until the booth quits.
    void follow(std::int64_t mediaID, std::shared_ptr<LayoutEngine> engine, const QString& printPath);
    // Stops following: nothing of the session is made or reported after this.
    void stop();

signals:
    // The copy with the code is written at `path`.
    void copyReady(const QString& path);

private:
    void registered(std::int64_t mediaID, const QString& address);

    base::NotificationCenter::ObserverId observer_ = 0;
    quint64 generation_ = 0;
    std::int64_t mediaID_ = 0;
    std::shared_ptr<LayoutEngine> engine_;
    QString printPath_;
    QString lastCopy_;
};
