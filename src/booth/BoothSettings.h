#pragma once
// Settings keys the booth's screens read beyond those of the preference
// panes. The timings are settings so an operator (and the tests) can change
// them.
namespace BoothSettings {
// Seconds of countdown before each photo.
inline constexpr const char* kCountdownSeconds = "seconds_between_shots";
// Seconds after a photo is shown until the photos in "incoming" are counted.
inline constexpr const char* kArrivalCheckSeconds = "PHOTO_ARRIVAL_CHECK_SECONDS";
// Seconds the camera has to deliver a photo before the session gives up.
inline constexpr const char* kCameraTimeoutSeconds = "CAMERA_RESPONSE_TIMEOUT";
// Seconds the final screen waits before returning home (the Shooting pane's
// setting).
inline constexpr const char* kSharingScreenSeconds = "seconds_between_groups";
}  // namespace BoothSettings
