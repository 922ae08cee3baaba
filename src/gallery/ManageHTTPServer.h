#pragma once
// The gallery server: phones and tablets on the booth's network list the
// event's prints ("/list"), fetch them and their thumbnails. It listens on
// the first free port from 1500 to 2999, publishes that port in
// HTTP_SERVER_PORT and announces itself by UDP every 3 seconds.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "base/Scheduler.h"
#include "gallery/GalleryThumbnails.h"

class ManageHTTPServer {
public:
    struct Options {
        std::string bindAddress = "0.0.0.0";
        int firstPort = 1500;
        int lastPort = 2999;
        std::string broadcastAddress = "255.255.255.255";
        int broadcastPort = 27275;
        std::chrono::milliseconds announceInterval{3000};
        base::Scheduler* scheduler = nullptr;  // null: base::Scheduler::shared()
        // Interface name to IPv4 address; null: PostHTTPServerUtilis::getLocalIpAddress.
        std::function<std::map<std::string, std::string>()> localAddresses;
        // Reports the start to usage tracking; null: Analytics.
        std::function<void(const std::string& category, const std::string& action)> trackEvent;
        std::size_t maxConnections = 256;
    };

    static ManageHTTPServer& shared();
    // Options of the shared server, before its first use (tests keep it on
    // loopback and silent).
    static void setSharedOptions(Options options);
    // Starts the shared server once; later calls do nothing.
    static void initHTTPServer();

    explicit ManageHTTPServer(Options options);
    ManageHTTPServer();
    ~ManageHTTPServer();
    ManageHTTPServer(const ManageHTTPServer&) = delete;
    ManageHTTPServer& operator=(const ManageHTTPServer&) = delete;

    // Binds the first free port of the range and starts serving and
    // announcing. False when no port could be had (nothing is published).
    bool startHTTPServer();
    // Stops announcing, closes the listener and every connection.
    void stop();
    bool isRunning() const { return running_; }
    int port() const { return port_; }

    // One announcement on every IPv4 interface; the number of datagrams sent.
    int broadcastMyDetails();
    // {"port":"…","version":"…","serial":"…"}, values inserted as they are.
    static std::string announcementPayload(const std::string& port, const std::string& version,
                                           const std::string& serial);

    std::size_t openConnections();
    GalleryThumbnails& thumbnails() { return thumbnails_; }

private:
    void acceptLoop();
    void serve(int fd);
    Options options_;
    GalleryThumbnails thumbnails_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    int port_ = 0;
    int listenFd_ = -1;
    std::thread acceptThread_;
    base::Scheduler::TimerId announceTimer_ = 0;
    struct Announcer {
        std::mutex mutex;
        ManageHTTPServer* server = nullptr;
    };
    std::shared_ptr<Announcer> announcer_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::set<int> connections_;
};
