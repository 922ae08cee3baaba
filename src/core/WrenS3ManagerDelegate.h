#pragma once
// Stage callbacks of one print upload (the uploader lives with the sharing
// services; the booth core's MediaItemHelper is the delegate of first uploads).
#include <memory>

class MediaItemModel;

class WrenS3ManagerDelegate {
public:
    virtual ~WrenS3ManagerDelegate() = default;
    virtual void didUploadedImageToS3(std::shared_ptr<MediaItemModel> item) = 0;
    virtual void didUploadedThumbToS3(std::shared_ptr<MediaItemModel> item) = 0;
    virtual void didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel> item) = 0;
    // stage: 2 print, 3 thumbnail, 4 registration
    virtual void didFailedToUploadModel(std::shared_ptr<MediaItemModel> item, int stage) = 0;
};
