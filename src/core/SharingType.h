#pragma once
// Share-type codes as stored in the "share" table and sent to the services.
enum SharingType : int {
    SharingTypeEmail = 0,
    SharingTypeFacebook = 1,
    SharingTypeFacebookPage = 2,
    SharingTypeTwitter = 3,
    SharingTypeSMS = 4,
    SharingTypePrint = 7,
};

// Upload status of a media item.
enum MediaUploadStatus : int {
    MediaUploadStatusUploading = 0,
    MediaUploadStatusDone = 1,
    MediaUploadStatusImageFailed = 2,
    MediaUploadStatusThumbFailed = 3,
    MediaUploadStatusRegistrationFailed = 4,
    MediaUploadStatusKeptWithoutUpload = 5,
};
