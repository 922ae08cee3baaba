#pragma once
// Writes a multipart/form-data body to a stream in one pass, front to back,
// counting the bytes so the Content-Length is known at the end.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kits/trellis/TRLURLRequest.h"

// Where an encoder writes.
class TRLOutputStream {
public:
    virtual ~TRLOutputStream() = default;
    virtual bool open() = 0;
    // Bytes taken (all of them unless the stream failed), or -1.
    virtual long long write(const void* bytes, std::size_t length) = 0;
    virtual bool close() = 0;
};

class TRLMemoryOutputStream : public TRLOutputStream {
public:
    bool open() override { return true; }
    long long write(const void* bytes, std::size_t length) override;
    bool close() override { return true; }
    const std::string& data() const { return data_; }
    std::string takeData() { return std::move(data_); }

private:
    std::string data_;
};

// Writes to a file (created or truncated at open).
class TRLFileOutputStream : public TRLOutputStream {
public:
    explicit TRLFileOutputStream(std::string path) : path_(std::move(path)) {}
    ~TRLFileOutputStream() override;
    bool open() override;
    long long write(const void* bytes, std::size_t length) override;
    bool close() override;  // false when the data could not be flushed
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

class TRLMultipartMimeStreamEncoder {
public:
    static std::string generateBoundary();
    static std::string contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary);
    // Null without a stream; an empty boundary means a generated one.
    static std::unique_ptr<TRLMultipartMimeStreamEncoder> encoderWithStream(std::shared_ptr<TRLOutputStream> stream,
                                                                            std::string boundary = {});
    // Encodes the parts the block adds into memory and sets the request's
    // "Content-Type", "Content-Length" and body. False when encoding failed.
    static bool populateRequest(TRLURLRequest& request,
                                const std::function<void(TRLMultipartMimeStreamEncoder&)>& block);

    TRLMultipartMimeStreamEncoder(std::shared_ptr<TRLOutputStream> stream, std::string boundary);

    // Preamble, the parts the block adds, closing boundary. False when the
    // stream could not be opened or any write or the close failed: the body
    // is then incomplete and must not be sent.
    bool encode(const std::function<void()>& block);

    // A text part; nothing when the value or the field name is missing.
    void addValue(const std::optional<std::string>& value, const std::string& fieldName);
    void addValue(long long value, const std::string& fieldName);
    // A file part; nothing without file name or field name. No mime type
    // means "application/octet-stream".
    void addFileData(std::string_view data, const std::string& fileName, const std::optional<std::string>& mimeType,
                     const std::string& fieldName);
    // Streams the file's bytes as a file part; false (and nothing added)
    // when the file cannot be opened; a read failure midway fails the encoding.
    bool addFile(const std::string& path, const std::string& fileName, const std::optional<std::string>& mimeType,
                 const std::string& fieldName);

    std::string contentTypeHTTPHeaderValue() const;
    std::string contentLengthHTTPHeaderValue() const;
    bool writeData(std::string_view data);
    bool writeBytes(const void* bytes, std::size_t length);

    std::uint64_t length() const { return length_; }
    const std::string& boundary() const { return boundary_; }
    const std::shared_ptr<TRLOutputStream>& outputStream() const { return stream_; }
    bool failed() const { return failed_; }

private:
    std::shared_ptr<TRLOutputStream> stream_;
    std::string boundary_;
    std::uint64_t length_ = 0;
    bool failed_ = false;
};
