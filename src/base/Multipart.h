#pragma once
// multipart/form-data bodies, written once for every request that sends one:
// the sharing services' uploads and the SDK core's stream encoder. Each
// caller keeps its own boundary string and its own header lines per part.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace base {

// "multipart/form-data; boundary=<boundary>"
std::string multipartContentType(std::string_view boundary);

// The opening of one part, up to and including the blank line before its
// bytes: "--<boundary>", the Content-Disposition with the name (and file name)
// quoted, then each of `headerLines` ("Content-Type: image/jpeg"). A quote or
// line break inside a name is percent-escaped, so no name can end the header.
// The part's bytes follow, then "\r\n".
std::string multipartPartHeader(std::string_view boundary, std::string_view name,
                                const std::optional<std::string>& fileName = std::nullopt,
                                const std::vector<std::string>& headerLines = {});

// "--<boundary>--\r\n": the end of the body.
std::string multipartClosing(std::string_view boundary);

// A whole body in memory, part by part.
class MultipartBody {
public:
    explicit MultipartBody(std::string boundary) : boundary_(std::move(boundary)) {}
    const std::string& boundary() const { return boundary_; }
    std::string contentType() const { return multipartContentType(boundary_); }
    MultipartBody& addField(std::string_view name, std::string_view value,
                            const std::vector<std::string>& headerLines = {});
    MultipartBody& addFile(std::string_view name, const std::string& fileName, std::string_view bytes,
                           const std::vector<std::string>& headerLines);
    // The body with its closing line; the builder is left empty.
    std::string finish();

private:
    std::string boundary_;
    std::string body_;
};

}  // namespace base
