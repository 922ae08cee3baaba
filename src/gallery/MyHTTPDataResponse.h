#pragma once
// One reply of the gallery server: a status, extra headers, and a body that is
// either held in memory (possibly shared with a cache) or sent from an open
// file.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class MyHTTPDataResponse {
public:
    explicit MyHTTPDataResponse(std::string data = {}, int status = 200);
    // A body shared with whoever else holds it (the rendered-list cache), so
    // that answering from the cache copies nothing.
    explicit MyHTTPDataResponse(std::shared_ptr<const std::string> data, int status = 200);
    // Sends `size` bytes of the open file `fd` from its start; the response
    // owns the descriptor and closes it.
    static std::unique_ptr<MyHTTPDataResponse> withFile(int fd, std::uint64_t size);
    ~MyHTTPDataResponse();
    MyHTTPDataResponse(const MyHTTPDataResponse&) = delete;
    MyHTTPDataResponse& operator=(const MyHTTPDataResponse&) = delete;

    // A later value for the same name replaces the earlier one.
    void addHttpResponseHeader(const std::string& name, const std::string& value);
    const std::map<std::string, std::string>& httpHeaders() const { return headers_; }

    int status() const { return status_; }
    const std::string& data() const { return *data_; }
    const std::shared_ptr<const std::string>& sharedData() const { return data_; }
    int fileDescriptor() const { return fd_; }
    // Hands the file over to whoever sends it; the response no longer closes it.
    int releaseFileDescriptor();
    std::uint64_t contentLength() const { return fd_ >= 0 ? fileSize_ : data_->size(); }

private:
    int status_;
    std::shared_ptr<const std::string> data_;
    int fd_ = -1;
    std::uint64_t fileSize_ = 0;
    std::map<std::string, std::string> headers_;
};
