#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/Log.h"
#include "kits/trellis/TRLUtilities.h"
#include "base/Files.h"
#include "base/Multipart.h"

long long TRLMemoryOutputStream::write(const void* bytes, std::size_t length) {
    data_.append(static_cast<const char*>(bytes), length);
    return static_cast<long long>(length);
}

TRLFileOutputStream::~TRLFileOutputStream() {
    if (fd_ >= 0) ::close(fd_);
}

bool TRLFileOutputStream::open() {
    if (fd_ >= 0) return true;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

long long TRLFileOutputStream::write(const void* bytes, std::size_t length) {
    if (fd_ < 0) return -1;
    std::size_t done = base::writeFully(fd_, bytes, length);
    return done > 0 || length == 0 ? static_cast<long long>(done) : -1;
}

bool TRLFileOutputStream::close() {
    if (fd_ < 0) return true;
    bool ok = ::fsync(fd_) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    return ok;
}

std::string TRLMultipartMimeStreamEncoder::generateBoundary() { return TRLCreateUUIDString(); }

std::string TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary) {
    return base::multipartContentType(boundary);
}

std::unique_ptr<TRLMultipartMimeStreamEncoder> TRLMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<TRLOutputStream> stream, std::string boundary) {
    if (!stream) return nullptr;
    return std::make_unique<TRLMultipartMimeStreamEncoder>(std::move(stream), std::move(boundary));
}

TRLMultipartMimeStreamEncoder::TRLMultipartMimeStreamEncoder(std::shared_ptr<TRLOutputStream> stream,
                                                             std::string boundary)
    : stream_(std::move(stream)), boundary_(boundary.empty() ? generateBoundary() : std::move(boundary)) {}

bool TRLMultipartMimeStreamEncoder::populateRequest(TRLURLRequest& request,
                                                    const std::function<void(TRLMultipartMimeStreamEncoder&)>& block) {
    auto memory = std::make_shared<TRLMemoryOutputStream>();
    TRLMultipartMimeStreamEncoder encoder(memory, generateBoundary());
    if (!encoder.encode([&] {
            if (block) block(encoder);
        }))
        return false;
    request.setValue(encoder.contentTypeHTTPHeaderValue(), "Content-Type");
    request.setValue(encoder.contentLengthHTTPHeaderValue(), "Content-Length");
    request.body = memory->takeData();
    request.bodyFile.clear();
    return true;
}

bool TRLMultipartMimeStreamEncoder::encode(const std::function<void()>& block) {
    length_ = 0;
    failed_ = false;
    if (!stream_ || !stream_->open()) {
        spdlog::error("[Trellis] Failed to open stream for multipart encoding");
        failed_ = true;
        return false;
    }
    writeData("MIME-Version: 1.0\r\n");
    if (block) block();
    writeData(base::multipartClosing(boundary_));
    if (!stream_->close()) {
        spdlog::error("[Trellis] Failed to write data to stream");
        failed_ = true;
    }
    return !failed_;
}

// A file part's header lines: a known type travels as binary.
static std::vector<std::string> fileHeaderLines(const std::optional<std::string>& mimeType) {
    if (mimeType && !mimeType->empty()) return {"Content-Type: " + *mimeType, "Content-Transfer-Encoding: binary"};
    return {"Content-Type: application/octet-stream"};
}

void TRLMultipartMimeStreamEncoder::addValue(const std::optional<std::string>& value, const std::string& fieldName) {
    if (!value || fieldName.empty()) return;
    writeData(base::multipartPartHeader(boundary_, fieldName, std::nullopt, {"Content-Type: text/plain"}));
    writeData(*value + "\r\n");
}

void TRLMultipartMimeStreamEncoder::addValue(long long value, const std::string& fieldName) {
    addValue(std::to_string(value), fieldName);
}

void TRLMultipartMimeStreamEncoder::addFileData(std::string_view data, const std::string& fileName,
                                                const std::optional<std::string>& mimeType,
                                                const std::string& fieldName) {
    if (fileName.empty() || fieldName.empty()) return;
    writeData(base::multipartPartHeader(boundary_, fieldName, fileName, fileHeaderLines(mimeType)));
    writeData(data);
    writeData("\r\n");
}

bool TRLMultipartMimeStreamEncoder::addFile(const std::string& path, const std::string& fileName,
                                            const std::optional<std::string>& mimeType, const std::string& fieldName) {
    if (fileName.empty() || fieldName.empty()) return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    writeData(base::multipartPartHeader(boundary_, fieldName, fileName, fileHeaderLines(mimeType)));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            spdlog::error("[Trellis] Failed to read {} for multipart encoding", fileName);
            failed_ = true;
            break;
        }
        if (n == 0) break;
        writeBytes(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    writeData("\r\n");
    return true;
}

std::string TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
    return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string TRLMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const { return std::to_string(length_); }

bool TRLMultipartMimeStreamEncoder::writeData(std::string_view data) {
    bool ok = true;
    TRLEnumerateByteRangesInData(data, [&](const char* bytes, std::size_t, std::size_t size, bool& stop) {
        long long n = stream_ ? stream_->write(bytes, size) : -1;
        if (n > 0) length_ += static_cast<std::uint64_t>(n);
        if (n != static_cast<long long>(size)) {
            spdlog::error("[Trellis] Failed to write data to stream");
            ok = false;
            stop = true;
        }
    });
    if (!ok) failed_ = true;
    return ok;
}

bool TRLMultipartMimeStreamEncoder::writeBytes(const void* bytes, std::size_t length) {
    long long n = stream_ ? stream_->write(bytes, length) : -1;
    if (n > 0) length_ += static_cast<std::uint64_t>(n);
    if (n != static_cast<long long>(length)) {
        spdlog::error("[Trellis] Failed to write bytes to stream");
        failed_ = true;
        return false;
    }
    return true;
}
