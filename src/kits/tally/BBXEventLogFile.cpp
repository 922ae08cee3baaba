#include "kits/tally/BBXEventLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "kits/tally/TallyFiles.h"
#include "kits/tally/TallyLog.h"
#include "base/Files.h"

namespace fs = std::filesystem;
using tally::posixError;
using tally::setError;

std::unique_ptr<BBXEventLogFile> BBXEventLogFile::initWithURL(const std::string& fileURL) {
    return make<BBXEventLogFile>(fileURL);
}

std::unique_ptr<BBXEventLogFile> BBXEventLogFile::initWithName(const std::string& name,
                                                               const std::string& directoryURL) {
    return initWithURL((fs::path(directoryURL) / name).string());
}

std::unique_ptr<BBXEventLogEventFile> BBXEventLogEventFile::initWithURL(const std::string& fileURL) {
    return make<BBXEventLogEventFile>(fileURL);
}

std::unique_ptr<BBXEventLogEventFile> BBXEventLogEventFile::initWithName(const std::string& name,
                                                                         const std::string& directoryURL) {
    return initWithURL((fs::path(directoryURL) / name).string());
}

BBXEventLogFile::~BBXEventLogFile() { closeFileHandle(); }

bool BBXEventLogFile::setUp() {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(fileURL_, ec))) {
        fs::remove_all(fileURL_, ec);
        if (ec) tally::debugLog("BBXEventLogFile: Unable to delete blocking directory {} [error: {}]", fileURL_,
                                ec.message());
    }
    // O_CREAT without O_TRUNC: an existing file keeps its lines.
    base::Error error;
    if (!openFileHandleForWriting(&error)) {
        tally::debugLog("BBXEventLogFile: Unable to get open file for writing at path {} [error: {}]", fileURL_,
                        error.localizedDescription());
        return false;
    }
    struct stat st{};
    if (::fstat(fd_, &st) != 0) {
        tally::debugLog("BBXEventLogFile: Unable to get attributes for item at path {} [error: {}]", fileURL_,
                        std::strerror(errno));
        closeFileHandle();
        return false;
    }
    fileSize_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool BBXEventLogFile::openFileHandleForWriting(base::Error* error) {
    if (fd_ >= 0) {
        setError(error, base::Error("BBXEventLogFile", -1, "a file handle is already open"));
        return false;
    }
    int fd;
    do {
        fd = ::open(fileURL_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setError(error, posixError(errno, "open " + fileURL_));
        return false;
    }
    fd_ = fd;
    writing_ = true;
    return true;
}

bool BBXEventLogFile::openFileHandleForReading(base::Error* error) {
    if (fd_ >= 0) {
        setError(error, base::Error("BBXEventLogFile", -1, "a file handle is already open"));
        return false;
    }
    base::ReadFailure failure;
    int fd = base::openRegularFile(fileURL_, &failure);
    if (fd < 0) {
        setError(error, base::Error("NSPOSIXErrorDomain", errno, "open " + fileURL_ + ": " + failure.why));
        return false;
    }
    fd_ = fd;
    writing_ = false;
    return true;
}

void BBXEventLogFile::closeFileHandle() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    writing_ = false;
}

bool BBXEventLogFile::appendData(std::string_view data, base::Error* error) {
    // Appending without a writable handle is a caller's mistake; refuse it
    // rather than take the application down.
    if (fd_ < 0 || !writing_) {
        setError(error, base::Error("BBXEventLogFile", -1, "no file handle open for writing"));
        return false;
    }
    std::size_t written = base::writeFully(fd_, data.data(), data.size());
    if (written != data.size()) {
        int err = errno;
        if (written > 0) {
            // Cut the partial line off again; O_APPEND puts the next
            // write at the restored end.
            while (::ftruncate(fd_, static_cast<off_t>(fileSize_)) != 0 && errno == EINTR) {
            }
        }
        setError(error, posixError(err, "write " + fileURL_));
        return false;
    }
    fileSize_ += data.size();
    return true;
}

bool BBXEventLogFile::resetFile(base::Error* error) {
    if (fd_ < 0 || !writing_) {
        setError(error, base::Error("BBXEventLogFile", -1, "no file handle open for writing"));
        return false;
    }
    if (::ftruncate(fd_, 0) != 0) {
        setError(error, posixError(errno, "truncate " + fileURL_));
        return false;
    }
    fileSize_ = 0;
    return true;
}

std::optional<std::string> BBXEventLogFile::readFromFile(base::Error* error) {
    closeFileHandle();
    std::optional<std::string> content;
    if (openFileHandleForReading(error)) {
        std::string out;
        char buffer[65536];
        bool ok = true;
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                setError(error, posixError(errno, "read " + fileURL_));
                ok = false;
                break;
            }
            if (n == 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        closeFileHandle();
        if (ok) content = std::move(out);
    }
    base::Error reopenError;
    if (!openFileHandleForWriting(&reopenError)) {
        tally::debugLog("BBXEventLogFile: Unable to reopen file for writing at path {} [error: {}]", fileURL_,
                        reopenError.localizedDescription());
        if (content) {
            setError(error, reopenError);
            return std::nullopt;
        }
    }
    return content;
}

bool BBXEventLogEventFile::appendEvent(const BBXEventLogEvent& event, base::Error* error) {
    scratch_.clear();
    event.appendEventData(scratch_);
    bool ok = appendData(scratch_, error);
    if (scratch_.capacity() > (1u << 20)) std::string().swap(scratch_);
    return ok;
}
