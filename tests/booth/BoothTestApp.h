#pragma once
// The booth tests' one application object: made on first use, whichever test
// comes first, and never destroyed.
#include <QApplication>

inline QApplication& app() {
    static int argc = 1;
    static char name[] = "test_booth";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = qApp ? static_cast<QApplication*>(qApp) : new QApplication(argc, argv);
    return *instance;
}

#include <map>
#include <string>

#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"

// The outside services (uploads, tracking, reachability) point at a closed
// port of this machine; the gallery listens on loopback only and announces
// nothing.
inline void keepBoothOnLoopback() {
    auto& defaults = UserDefaults::standard();
    for (auto key : {"S3EndpointURL", "FlashwrenWebServiceURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL",
                     "SendGridBaseURL", "TwilioBaseURL", "FlashwrenAdminURL", "ReachabilityURL"})
        defaults.set(key, "http://127.0.0.1:9");
    ManageHTTPServer::Options gallery;
    gallery.bindAddress = "127.0.0.1";
    gallery.localAddresses = [] { return std::map<std::string, std::string>{}; };
    ManageHTTPServer::setSharedOptions(gallery);
}
