#pragma once
// One client connection of the gallery server: reads HTTP/1.1 requests
// (keep-alive, pipelined), answers each with httpResponseForMethod and streams
// the reply. Runs on a thread of its own.
#include <memory>
#include <string>

#include "gallery/MyHTTPDataResponse.h"

class GalleryThumbnails;

class MyHTTPConnection {
public:
    static constexpr int kIdleTimeoutMs = 15000;
    static constexpr size_t kMaxHeaderBytes = 16 * 1024;
    static constexpr size_t kMaxDiscardedBody = 1024 * 1024;

    // The caller keeps the socket and closes it after run().
    MyHTTPConnection(int fd, GalleryThumbnails& thumbnails);
    MyHTTPConnection(const MyHTTPConnection&) = delete;
    MyHTTPConnection& operator=(const MyHTTPConnection&) = delete;

    // Serves requests until the client closes, an error, or the idle time-out.
    void run();

    // The answer to one request, whatever its method; null means "not found".
    static std::unique_ptr<MyHTTPDataResponse> httpResponseForMethod(
        const std::string& method, const std::string& uri, GalleryThumbnails& thumbnails);

    // A name that may be looked up in the prints folder: no separators, no
    // "..", no NUL, no leading dot.
    static bool isPlainFileName(const std::string& name);

    // Writes a reply on a socket; HEAD replies carry no body.
    static bool sendResponse(int fd, const MyHTTPDataResponse& response, bool headOnly, bool keepAlive);

private:
    bool readMore(std::string& buffer);
    int fd_;
    GalleryThumbnails& thumbnails_;
};
