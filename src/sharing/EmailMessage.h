#pragma once
// One e-mail: recipient, reply-to, subject, HTML body and the photo to attach.
// A value: it is copied to the thread that sends it.
#include <QString>
#include <QUrl>

struct EmailMessage {
    QUrl pathOfImageToSend;  // file URL of the photo
    QString from;            // filled only by the debug-log window; never sent
    QString replyto;         // also used as the sender's display name
    QString to;
    QString subject;
    QString body;            // HTML
};
