#pragma once
// The gallery's answers: which reply a request gets ("/list", prints,
// thumbnails, not found), independent of any socket. The HTTP library
// (driven by ManageHTTPServer) parses requests and sends replies; one
// MyHTTPConnection holds what the server keeps per TCP connection.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "gallery/MyHTTPDataResponse.h"

class GalleryThumbnails;
struct MHD_Connection;

class MyHTTPConnection {
public:
    // A reply that takes longer than a network thread may be held up for
    // (a thumbnail to make, a list to render); run on a worker.
    using Work = std::function<std::unique_ptr<MyHTTPDataResponse>()>;
    struct Route {
        std::unique_ptr<MyHTTPDataResponse> response;  // ready now
        Work work;                                     // or to be made
        // Neither: not found.
    };

    // Which reply a request gets, whatever its method. Cheap: anything that
    // decodes images or lists the folder is left in `work`.
    static Route routeRequest(const std::string& method, const std::string& uri, GalleryThumbnails& thumbnails);
    // The reply to one request, made at once; null means "not found".
    static std::unique_ptr<MyHTTPDataResponse> httpResponseForMethod(
        const std::string& method, const std::string& uri, GalleryThumbnails& thumbnails);

    // A name that may be looked up in the prints folder: not ".", "..", or a
    // hidden name (leading dot, never listed), and no "/", "\" or NUL.
    static bool isPlainFileName(const std::string& name);

    // Forgets the rendered lists (tests that change the time zone).
    static void clearListCache();

    // Per-connection state, owned by the server.
    using Clock = std::chrono::steady_clock;
    MHD_Connection* connection = nullptr;
    int fd = -1;
    // When the head of the next request must have arrived; max(): a request
    // is being answered.
    Clock::time_point headDeadline = Clock::time_point::max();
    enum class Stage { Head, Body, Working, Ready, Answered };
    Stage stage = Stage::Head;
    std::string uri;  // the request target as the client sent it
    std::string method;
    bool closeAfterReply = false;
    bool corked = false;  // the reply's segments are held until it is whole
    std::unique_ptr<MyHTTPDataResponse> ready;  // made by a worker
};
