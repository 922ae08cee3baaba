#pragma once
// Shared utility operations of the booth.
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <functional>
#include <map>
#include <optional>

#include <nlohmann/json_fwd.hpp>

class QWidget;

class WrenUtils {
public:
    // YES when the setting IS_INTERNET_RECHABLE holds "YES".
    static bool isInternetRechable();
    // Present, not null and of non-zero length.
    static bool hasValue(const QVariant& value);
    static bool hasValue(const QString& value) { return !value.isEmpty(); }
    static bool NSStringIsValidEmail(const QString& text);
    static bool isValidPhoneNumber(const QString& text);
    static bool isValidImage(const QImage* image);
    static bool isValidImage(const QImage& image) { return isValidImage(&image); }

    static std::map<int, QString> getSharingTypeMapping();
    static QList<int> getAllSharingType();  // 0, 4, 2, 1, 3, 7

    // The data folder (setting DATA_DIRECTORY), ending in "/"; when unset it
    // first stores the user's pictures folder followed by "/flashwren/".
    static QString getDataDirectory();
    // Sub-folders of the data folder (no trailing "/").
    static QString getIncomingFolderPath();
    static QString getOriginalsFolderPath();
    static QString getPrintsFolderPath();
    static QString getThumbFolderPath();  // prints/thumb
    static QString getTemplatesFolderPath();
    static QString getGreenScreenFolderPath();
    static QString getTempFolderPath();
    // Makes every sub-folder of the data folder. False only when a folder a
    // session cannot work without (incoming, prints, prints/thumb, templates)
    // could not be made; `problem` then gets a message naming the path at
    // fault and what to do. The copy folders (originals, Green Screen, Temp)
    // that cannot be made are logged and skipped.
    static bool createDataSubfolders(QString* problem = nullptr);
    // Why `folder` cannot be made, for the operator: the path at fault and
    // what to do about it.
    static QString folderProblemMessage(const QString& folder);

    // Free bytes for this user on the disk holding `path` (or its nearest
    // existing parent); -1 when unknown.
    static qint64 freeDiskSpaceAt(const QString& path);
    // Tests stand in for the disk; null restores it.
    static void setFreeDiskSpaceProbe(std::function<qint64(const QString&)> probe);
    // Below this a write that failed is taken to have failed for space.
    static constexpr qint64 kDiskFullBytes = 32LL * 1024 * 1024;
    static bool isDiskFull(const QString& path);
    // "The disk is full: ..." naming the folder and what to do.
    static QString diskFullMessage(const QString& path);
    // The operator's warning when the data folder's disk has less free space
    // than LOW_DISK_SPACE_WARNING_MB; "" when there is enough (or it is unknown).
    static QString lowDiskSpaceWarning();

    static void createDirectoryAtPath(const QString& path);
    // Copies what `source` holds into `destinationDirectory` (made when
    // missing), keeping what is there already and the modes of what it
    // copies; named pipes, sockets, devices and links to folders stay behind,
    // named in the log. Refused when the destination is inside the source or
    // its disk has no room for the copy (kDiskFullBytes kept free). Each item
    // appears whole or not at all, also after a copy cut short by a kill. A
    // copy that fails stops and removes what it made. `progress` hears the
    // bytes copied of the total as the copy goes, within large files too;
    // false from it stops the copy.
    // True when all was copied (or `source` is no folder); false with
    // `problem` in words for the operator, naming the paths and why.
    static bool copyDirectoryFrom(const QString& source, const QString& destinationDirectory,
                                  QString* problem = nullptr,
                                  const std::function<bool(qint64 copied, qint64 total)>& progress = {});
    static void removeFileAtPath(const QString& path);
    // Deletes what is inside the folder, keeping the folder.
    static void emptyDirectoryAtPath(const QString& path);

    // "anon.mac." + unique_random_user_id (made on first use).
    static QString getSerialOrUniqueUserID();
    // APP_UUID (made on first use).
    static QString getUniqueUUID();
    // <application support>/flashwren/squeue (not created here).
    static QString getAnalyticsQueueFolderPath();

    // Form body: key=value pairs joined by "&", each side percent-escaped
    // (everything outside the unreserved set), in the given order.
    static QByteArray encodeDictionary(const QList<QPair<QString, QString>>& fields);
    // GET with a 10-second time-out: the body parsed as JSON, none when it does
    // not parse; on a transport failure `error` gets its description. Blocking:
    // never call on the interface thread.
    static std::optional<nlohmann::json> sendSyncHTTPGetRequestAt(const QString& url, QString* error);

    // Qt's on-screen keyboard: whether it is installed, and choosing it as the
    // input method at start (before the application object exists) when
    // SHOW_VIRTUAL_KEYBOARD is on and the user set no input method of their
    // own; says whether it is the input method.
    static bool isVirtualKeyboardInstalled();
    static bool selectVirtualKeyboard();
    // Whether SHOW_VIRTUAL_KEYBOARD at `show` needs another input method than
    // this run has: the change then takes effect at the next start.
    static bool virtualKeyboardChangeNeedsRestart(bool show);
    // The desktop's own input method (QT_IM_MODULE at start), which keeps the
    // on-screen keyboard away; "" when there is none.
    static QString desktopInputMethod();
    // Shows (YES) or hides and deselects (NO) the on-screen keyboard; where
    // none was selected it only logs so.
    static void showHideVirtualKeyboard(bool show);
    // Clears the web views' cookies and cache through the hook that the
    // web-view layer installs; without one there is nothing to clear.
    static void clearHTTPCookiesAndCache();
    static void setClearHTTPCookiesAndCacheHook(std::function<void()> hook);
    // Whether the keying engine can run here.
    static bool checkIFOpenGLIsSupported();
    // A modal alert; style 2 = critical. Interface thread only.
    static void showAlertWithMessage(const QString& message, const QString& informationText, int style);
    // Puts a window in the middle of its screen's free area, no larger than
    // that area. Without a window manager (as a kiosk often runs) nothing
    // else places a new window: it would open in the screen's top-left corner.
    static void centreWindowOnScreen(QWidget* window);

    // A QR code of `text`, `size` pixels square (black on white); null on failure.
    static QImage qrCodeImage(const QString& text, int size);
    // "yyyy-MM-dd_HH-mm-ss-zzz" of now: unique, sortable file-name stem.
    static QString dateStringForFileName();
    // Tests stand in for the clock of those names; null restores it.
    static void setFileNameClock(std::function<qint64()> msecsSinceEpoch);

    // Start-up: makes the data folder's sub-folders, the prints folder's
    // "thumb" and the analytics queue folder, and stores PHOTO_FOLDER_PATH
    // (the prints folder). False (logged) when a data folder a session needs
    // could not be made; `problem` as for createDataSubfolders. An analytics
    // queue folder that cannot be made is a standing operator notice.
    static bool setupFoldersAtStartup(QString* problem = nullptr);
    // Why the analytics queue folder `queue` cannot be made, for the
    // operator: the path at fault and what to do about it.
    static QString analyticsQueueProblemMessage(const QString& queue);
    // Start-up: makes unique_random_user_id and APP_UUID when missing.
    static void makeFirstLaunchSettings();
};

// The MD5 digest of the text's UTF-8 bytes as 32 upper-case hexadecimal digits.
QString MD5String(const QString& text);
