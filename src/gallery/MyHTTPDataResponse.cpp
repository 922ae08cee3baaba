#include "gallery/MyHTTPDataResponse.h"

#include <unistd.h>

MyHTTPDataResponse::MyHTTPDataResponse(std::string data, int status)
    : status_(status), data_(std::make_shared<const std::string>(std::move(data))) {}

MyHTTPDataResponse::MyHTTPDataResponse(std::shared_ptr<const std::string> data, int status)
    : status_(status), data_(data ? std::move(data) : std::make_shared<const std::string>()) {}

std::unique_ptr<MyHTTPDataResponse> MyHTTPDataResponse::withFile(int fd, std::uint64_t size) {
    auto response = std::make_unique<MyHTTPDataResponse>();
    response->fd_ = fd;
    response->fileSize_ = size;
    return response;
}

MyHTTPDataResponse::~MyHTTPDataResponse() {
    if (fd_ >= 0) ::close(fd_);
}

int MyHTTPDataResponse::releaseFileDescriptor() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void MyHTTPDataResponse::addHttpResponseHeader(const std::string& name, const std::string& value) {
    headers_[name] = value;
}
