// An observer of one sender hears that sender only, not anonymous posts.
#include <gtest/gtest.h>

#include "base/NotificationCenter.h"

TEST(NotificationSender, APostWithoutSenderReachesOnlyObserversOfEverySender) {
    base::NotificationCenter nc;
    int camera = 0, anyone = 0, ofCamera = 0;
    nc.addObserver("CameraRemoved", nullptr, nullptr, [&](const base::Notification&) { ++anyone; });
    nc.addObserver("CameraRemoved", &camera, nullptr, [&](const base::Notification&) { ++ofCamera; });
    nc.post("CameraRemoved");
    EXPECT_EQ(anyone, 1);
    EXPECT_EQ(ofCamera, 0);
    nc.post("CameraRemoved", &camera);
    EXPECT_EQ(ofCamera, 1);
}
