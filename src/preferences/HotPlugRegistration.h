#pragma once
// Registering the booth as the program started when a camera is connected.
// The rule works over a small key-value store so that it can be tested apart
// from the desktop that backs it.
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class HotPlugPreferences {
public:
    virtual ~HotPlugPreferences() = default;
    virtual QStringList keys() const = 0;
    virtual std::optional<QVariant> value(const QString& key) const = 0;
    // An invalid QVariant removes the key.
    virtual void setValue(const QString& key, const QVariant& value) = 0;
    virtual bool synchronize() = 0;
};

// Applies the registration (flag true) or its removal (false) for the
// program known as `ownPath`. Turning it off never leaves our own program
// registered, even when it was also the previous handler.
void applyShouldAutoLaunch(HotPlugPreferences& prefs, bool flag, const QString& ownPath);

// The desktop's default handler for camera media ("x-content/image-dcf") in the
// user's mimeapps.list; "HotPlugActionPath" is that handler, and
// "LastHotPlugActionPath" is kept beside it in a section of our own.
class MimeAppsHotPlugPreferences : public HotPlugPreferences {
public:
    explicit MimeAppsHotPlugPreferences(QString mimeAppsPath = QString());
    QStringList keys() const override;
    std::optional<QVariant> value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    bool synchronize() override;
    QString path() const { return path_; }

private:
    QString path_;
    QStringList lines_;
    bool dirty_ = false;
};

// Our desktop entry's id; writes it into the user's applications folder.
QString installOwnDesktopEntry();
