#include "camera/CameraErrors.h"

#include "base/NotificationCenter.h"
#include "core/Notifications.h"

QString CameraErrors::messageForCode(int code) {
    switch (code) {
    case CameraMessageNoCamera: return QStringLiteral("No camera found. Please connect a camera.");
    case CameraMessageNotReady: return QStringLiteral("Camera is not ready. Please try again.");
    case CameraMessageFocusFailed: return QStringLiteral("Camera could not focus. Please try again.");
    case CameraMessageTakePictureFailed: return QStringLiteral("Unable to take the picture. Please try again.");
    case CameraMessageDownloadFailed: return QStringLiteral("Unable to download the photo from the camera.");
    case CameraMessageLiveViewFailed: return QStringLiteral("Unable to start live view.");
    case CameraMessageCardFull: return QStringLiteral("The camera's memory card is full.");
    case CameraMessageBatteryLow: return QStringLiteral("The camera's battery is low.");
    case CameraMessageDisconnected: return QStringLiteral("Camera disconnected.");
    case CameraMessageTimedOut: return QStringLiteral("The camera did not answer in time. Please try again.");
    case CameraMessageSessionFailed: return QStringLiteral("Unable to open a session with the camera.");
    default: return QStringLiteral("Unknown camera error.");
    }
}

void CameraErrors::postMessage(int code) {
    base::NotificationCenter::defaultCenter().post(kShowMessageNotification, nullptr,
                                                   {{"MessageCode", code}});
}
