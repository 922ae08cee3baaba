#include "preferences/HotPlugRegistration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

#include "base/Files.h"

namespace {
const char* kAction = "HotPlugActionPath";
const char* kLast = "LastHotPlugActionPath";
const char* kCameraMime = "x-content/image-dcf";
const char* kDefaultsSection = "[Default Applications]";
const char* kOwnSection = "[X-Flashwren Hot Plug]";

QString stringOf(const std::optional<QVariant>& v) {
    return v && v->isValid() ? v->toString() : QString();
}
}  // namespace

void applyShouldAutoLaunch(HotPlugPreferences& prefs, bool flag, const QString& ownPath) {
    QString a = flag ? ownPath : QString();
    auto h = prefs.value(kAction);
    auto l = prefs.value(kLast);
    QString previous = (h && h->isValid() && h->toString() != a) ? h->toString() : QString();
    // When turning off, a previous handler that is ourselves does not count.
    QString restore = stringOf(l);
    if (restore == ownPath) restore.clear();

    for (const QString& key : prefs.keys()) {
        auto v = prefs.value(key);
        if (!v || v->typeId() != QMetaType::QVariantMap) continue;
        QVariantMap entry = v->toMap();
        if (entry.value("ICADeviceTypeKey").toString() != "ICADeviceTypeCamera") continue;
        entry["autolaunchApplicationPath"] = flag ? a : restore;
        prefs.setValue(key, entry);
    }
    if (flag) {
        prefs.setValue(kAction, a);
        prefs.setValue(kLast, previous);
    } else {
        if (restore.isEmpty()) prefs.setValue(kAction, QVariant());
        else prefs.setValue(kAction, restore);
        prefs.setValue(kLast, QString(""));
    }
    prefs.synchronize();
}

MimeAppsHotPlugPreferences::MimeAppsHotPlugPreferences(QString mimeAppsPath) : path_(std::move(mimeAppsPath)) {
    if (path_.isEmpty()) path_ = QString::fromStdString(base::configHome()) + "/mimeapps.list";
    QFile f(path_);
    if (f.open(QIODevice::ReadOnly)) {
        lines_ = QString::fromUtf8(f.readAll()).split('\n');
        if (!lines_.isEmpty() && lines_.last().isEmpty()) lines_.removeLast();
    }
}

namespace {
// The line index of `key=` inside `section`, or -1; `sectionEnd` gets where
// a new key of that section goes (-1 when the section is missing).
int findKey(const QStringList& lines, const QString& section, const QString& key, int* sectionEnd) {
    int inSection = -1;
    *sectionEnd = -1;
    for (int i = 0; i < lines.size(); ++i) {
        QString t = lines[i].trimmed();
        if (t.startsWith('[')) {
            if (inSection >= 0) {
                *sectionEnd = i;
                return -1;
            }
            if (t == section) inSection = i;
            continue;
        }
        if (inSection >= 0 && t.startsWith(key + "=")) return i;
    }
    if (inSection >= 0) *sectionEnd = static_cast<int>(lines.size());
    return -1;
}

QString locate(const QString& key, QString* mimeKey) {
    if (key == kAction) {
        *mimeKey = kCameraMime;
        return kDefaultsSection;
    }
    *mimeKey = key;
    return kOwnSection;
}
}  // namespace

QStringList MimeAppsHotPlugPreferences::keys() const {
    QStringList out;
    if (value(kAction)) out << kAction;
    if (value(kLast)) out << kLast;
    return out;
}

std::optional<QVariant> MimeAppsHotPlugPreferences::value(const QString& key) const {
    QString k;
    QString section = locate(key, &k);
    int end = -1;
    int i = findKey(lines_, section, k, &end);
    if (i < 0) return std::nullopt;
    QString v = lines_[i].mid(lines_[i].indexOf('=') + 1).trimmed();
    if (key == kAction) v = v.section(';', 0, 0);
    return QVariant(v);
}

void MimeAppsHotPlugPreferences::setValue(const QString& key, const QVariant& value) {
    if (key != kAction && key != kLast) return;  // the desktop keeps no per-device entries
    QString k;
    QString section = locate(key, &k);
    int end = -1;
    int i = findKey(lines_, section, k, &end);
    dirty_ = true;
    if (!value.isValid()) {
        if (i >= 0) lines_.removeAt(i);
        return;
    }
    QString line = k + "=" + value.toString() + (key == kAction ? ";" : "");
    if (i >= 0) lines_[i] = line;
    else if (end >= 0) lines_.insert(end, line);
    else {
        if (!lines_.isEmpty() && !lines_.last().isEmpty()) lines_ << QString();
        lines_ << section << line;
    }
}

bool MimeAppsHotPlugPreferences::synchronize() {
    if (!dirty_) return true;
    QDir().mkpath(QFileInfo(path_).path());
    bool ok = base::writeFileAtomically(path_.toStdString(), (lines_.join('\n') + "\n").toStdString());
    if (ok) dirty_ = false;
    return ok;
}

QString installOwnDesktopEntry() {
    const QString id = "flashwren.desktop";
    QString dir = QString::fromStdString(base::dataHome()) + "/applications";
    QDir().mkpath(dir);
    QString exec = QCoreApplication::applicationFilePath();
    QString entry = "[Desktop Entry]\nType=Application\nName=Flashwren\nExec=\"" + exec +
                    "\"\nMimeType=x-content/image-dcf;\nNoDisplay=true\n";
    base::writeFileAtomically((dir + "/" + id).toStdString(), entry.toStdString());
    return id;
}
