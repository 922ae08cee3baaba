#pragma once
// Thumbnails of the prints, made on first request: the photo is decoded
// scaled down, fitted into 175 by 175 and written atomically to the prints
// folder's "thumb" sub-folder. At most one maker runs per name; other
// requests for the same name wait for its result.
#include <QImage>

#include <future>
#include <map>
#include <mutex>
#include <string>

class GalleryThumbnails {
public:
    static constexpr int kSide = 175;

    struct Result {
        enum Kind {
            File,    // `path` is the thumbnail on disk
            Data,    // `data` holds the JPEG just made
            Empty,   // the photo does not exist: an empty reply
            None,    // the photo is not a valid image: not found
        } kind = None;
        std::string path;
        std::string data;
    };

    // `name` must already be a plain file name (checked by the caller).
    Result thumbnail(const std::string& printsDir, const std::string& name);

    // The photo decoded at its fitted size and letterboxed into kSide x kSide;
    // null when it cannot be decoded.
    static QImage makeThumbnail(const std::string& photoPath);

    // Number of thumbnails made so far (for tests).
    int madeCount() const;

private:
    Result make(const std::string& printsDir, const std::string& name);
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_future<Result>> inflight_;
    int made_ = 0;
};
