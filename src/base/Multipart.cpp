#include "base/Multipart.h"

namespace base {

namespace {
std::string escapeParameter(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"') out += "%22";
        else if (c == '\r') out += "%0D";
        else if (c == '\n') out += "%0A";
        else out.push_back(c);
    }
    return out;
}
}  // namespace

std::string multipartContentType(std::string_view boundary) {
    return "multipart/form-data; boundary=" + std::string(boundary);
}

std::string multipartPartHeader(std::string_view boundary, std::string_view name,
                                const std::optional<std::string>& fileName,
                                const std::vector<std::string>& headerLines) {
    std::string out = "--";
    out += boundary;
    out += "\r\nContent-Disposition: form-data; name=\"";
    out += escapeParameter(name);
    out += '"';
    if (fileName) {
        out += "; filename=\"";
        out += escapeParameter(*fileName);
        out += '"';
    }
    out += "\r\n";
    for (const auto& line : headerLines) {
        out += line;
        out += "\r\n";
    }
    out += "\r\n";
    return out;
}

std::string multipartClosing(std::string_view boundary) { return "--" + std::string(boundary) + "--\r\n"; }

MultipartBody& MultipartBody::addField(std::string_view name, std::string_view value,
                                       const std::vector<std::string>& headerLines) {
    body_ += multipartPartHeader(boundary_, name, std::nullopt, headerLines);
    body_ += value;
    body_ += "\r\n";
    return *this;
}

MultipartBody& MultipartBody::addFile(std::string_view name, const std::string& fileName, std::string_view bytes,
                                      const std::vector<std::string>& headerLines) {
    body_ += multipartPartHeader(boundary_, name, fileName, headerLines);
    body_ += bytes;
    body_ += "\r\n";
    return *this;
}

std::string MultipartBody::finish() {
    std::string out = std::move(body_);
    body_.clear();
    out += multipartClosing(boundary_);
    return out;
}

}  // namespace base
