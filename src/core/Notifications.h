#pragma once
// Names of the notifications that cross subsystems (base::NotificationCenter).
inline constexpr const char* kShowMessageNotification = "ShowMessageNotification";  // "MessageCode": int
inline constexpr const char* kConnectedCameraDidRemovedNotification = "ConnectedCameraDidRemovedNotification";
inline constexpr const char* kUseDidPressedToStartSessionNotification = "UseDidPressedToStartSessionNotification";
inline constexpr const char* kGreenScreenWindowDidClosed = "GreenScreenWindowDidClosed";
inline constexpr const char* kFinishSendingEmailNotification = "FinishSendingEmailNotification";
inline constexpr const char* kMediaItemDidUploadedNotification = "MediaItemDidUploadedNotification";  // "UploadedItem": std::shared_ptr<MediaItemModel>
