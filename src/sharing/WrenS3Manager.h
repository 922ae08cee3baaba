#pragma once
// Uploads one print and then its thumbnail to Amazon S3 as public objects
// (requests signed with Signature Version 4, the file streamed from disk),
// then registers both addresses with the Flashwren web service for the
// print's short public address. The network work runs off the interface
// thread; every delegate call arrives on the interface thread, in stage order,
// and a failing run ends with exactly one failure report.
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/Models.h"
#include "core/WrenS3ManagerDelegate.h"
#include "sharing/SharingRuntime.h"

class WrenS3Manager : public std::enable_shared_from_this<WrenS3Manager> {
public:
    static std::shared_ptr<WrenS3Manager> create();

    // Not owned: the delegates (the media helper, the retry service) live for the whole run.
    void setDelegate(WrenS3ManagerDelegate* delegate) { delegate_ = delegate; }
    WrenS3ManagerDelegate* delegate() const { return delegate_; }

    // The whole run: print, thumbnail, registration. Returns at once.
    void startUplodingMediaToAWS(std::shared_ptr<MediaItemModel> item);
    // One file; the print goes on with the thumbnail, the thumbnail with the registration.
    void uploadMediaToAmazon(const QString& filePath, bool isThumb, std::shared_ptr<MediaItemModel> item);
    // The registration alone.
    void didUploadedMediaToS3(std::shared_ptr<MediaItemModel> item);

    // Makes every new print's first upload go through this uploader.
    static void installAsUploadStarter();

    // "anon." + the installation's random user id.
    static QString userFolder();
    // The object key of a file: the user folder, "/", and the file's name
    // ("<name>_Thumb.<extension>" for a thumbnail).
    static QString objectKey(const QString& filePath, bool isThumb);
    // The thumbnail of a print: the same name in the "thumb" folder beside it.
    static QString thumbnailPathFor(const MediaItemModel& item);
    static QString publicAddressForKey(const QString& key);

    // Seconds without progress after which an upload is given up.
    static constexpr long kStallSeconds = 5;
    static constexpr long kRequestTimeoutSeconds = 5;
    // A registration that went out but got no answer may have been made:
    // that print is registered again only after these waits, doubling up to
    // the longest (on the scheduler's clock).
    static constexpr std::chrono::minutes kFirstUnansweredWait{4};
    static constexpr std::chrono::minutes kLongestUnansweredWait{60};

private:
    WrenS3Manager() = default;
    // Blocking: PUTs the file; the error text when it failed.
    static std::optional<std::string> putObject(const QString& filePath, const QString& key);
    // Blocking: the registration post; the short address, or none with
    // `error` set (and `unanswered` when it went out with no answer).
    static std::optional<QString> registerUpload(const MediaItemModel& item, std::string* error,
                                                 bool* unanswered = nullptr);
    // A thumbnail of the print, made as the layout makes it; false when the
    // print cannot be read or the thumbnail written.
    static bool makeThumbnail(const QString& printPath, const QString& thumbPath);
    void onMain(base::Task task);
    WrenS3ManagerDelegate* delegate_ = nullptr;
};
