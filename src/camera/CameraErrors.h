#pragma once
// Camera message codes, posted with "ShowMessageNotification" under
// "MessageCode", and the text a guest sees for each.
#include <QString>

enum CameraMessageCode : int {
    CameraMessageNoCamera = 0,
    CameraMessageNotReady = 1,
    CameraMessageFocusFailed = 2,
    CameraMessageTakePictureFailed = 3,
    CameraMessageDownloadFailed = 4,
    CameraMessageLiveViewFailed = 5,
    CameraMessageCardFull = 6,
    CameraMessageBatteryLow = 7,
    CameraMessageDisconnected = 8,
    CameraMessageTimedOut = 9,
    CameraMessageSessionFailed = 10,
    CameraMessageUnknown = 11,
};

class CameraErrors {
public:
    // The text of a message code; codes outside 0..11 read as "unknown".
    static QString messageForCode(int code);
    // Posts "ShowMessageNotification" with "MessageCode" = code.
    static void postMessage(int code);
};
