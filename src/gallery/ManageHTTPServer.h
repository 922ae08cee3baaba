#pragma once
// The gallery server: phones and tablets on the booth's network list the
// event's prints ("/list"), fetch them and their thumbnails. It listens on
// the first free port from 1500 to 2999, publishes that port in
// HTTP_SERVER_PORT and announces itself by UDP every 3 seconds.
//
// Connections, parsing and sending belong to libmicrohttpd (epoll, a few
// network threads); this class sets its limits, closes connections whose
// request head does not arrive in time, and hands slow replies (thumbnails
// to make, lists to render) to worker threads so that the network threads
// never wait on a disk or a decoder.
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

struct MHD_Daemon;
struct MHD_Connection;
class MyHTTPConnection;
class MyHTTPDataResponse;
namespace base {
class ThreadPool;
}

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
        // Reports the start to usage tracking (the application hands it in);
        // null: not reported.
        std::function<void(const std::string& category, const std::string& action)> trackEvent;

        // Connections held at once, in all; more are closed at once.
        std::size_t maxConnections = 4000;
        // Connections held at once from one address: a phone opens a few
        // dozen; one client cannot take them all.
        std::size_t maxConnectionsPerAddress = 64;
        // A connection that sends and receives nothing for this long is closed.
        std::chrono::seconds idleTimeout{15};
        // A request's head must arrive whole within this time of the
        // connection's start or the previous reply's end, however steadily
        // its bytes trickle in.
        std::chrono::milliseconds requestHeadDeadline{10000};
        // A request head larger than this is answered 431.
        std::size_t maxHeaderBytes = 16 * 1024;
        // Network threads; 0: the cores this process may run on, at most 4.
        unsigned networkThreads = 0;
        // Threads making thumbnails and rendering lists.
        unsigned workerThreads = 4;
    };

    static ManageHTTPServer& shared();
    // Options of the shared server, before its first use (tests keep it on
    // loopback and silent).
    static void setSharedOptions(Options options);
    // The usage-tracking call of the shared server, where its options name none.
    static void setSharedTrackEvent(std::function<void(const std::string&, const std::string&)> trackEvent);
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
    // Connections closed because their request head came too late.
    std::size_t lateHeadsClosed();
    GalleryThumbnails& thumbnails() { return thumbnails_; }

private:
    struct Hooks;
    friend struct Hooks;
    bool startDaemon(int listenFd);
    void watchRequestHeads();
    void answer(MHD_Connection* connection, MyHTTPConnection& state);
    void queue(MHD_Connection* connection, MyHTTPConnection& state, std::unique_ptr<MyHTTPDataResponse> response);

    Options options_;
    GalleryThumbnails thumbnails_;
    std::atomic<bool> running_{false};
    int port_ = 0;
    int listenFd_ = -1;
    MHD_Daemon* daemon_ = nullptr;
    std::unique_ptr<base::ThreadPool> workers_;
    base::Scheduler::TimerId announceTimer_ = 0;
    struct Announcer {
        std::mutex mutex;
        ManageHTTPServer* server = nullptr;
    };
    std::shared_ptr<Announcer> announcer_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<MyHTTPConnection*> connections_;
    std::size_t working_ = 0;  // replies being made by workers
    std::size_t lateHeads_ = 0;
    bool watching_ = false;
    std::thread watcher_;
};
