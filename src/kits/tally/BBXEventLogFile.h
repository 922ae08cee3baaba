#pragma once
// An append-only log file of event lines.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"
#include "kits/tally/BBXEventLogEvent.h"

class BBXEventLogFile {
public:
    // Creates the file when missing (removing a directory in its way) and
    // opens it for appending; null when it cannot be opened.
    static std::unique_ptr<BBXEventLogFile> initWithURL(const std::string& fileURL);
    static std::unique_ptr<BBXEventLogFile> initWithName(const std::string& name, const std::string& directoryURL);
    virtual ~BBXEventLogFile();
    BBXEventLogFile(const BBXEventLogFile&) = delete;
    BBXEventLogFile& operator=(const BBXEventLogFile&) = delete;

    const std::string& fileURL() const { return fileURL_; }
    std::uint64_t fileSize() const { return fileSize_; }
    bool isOpen() const { return fd_ >= 0; }

    // Writes all the bytes or none of them: a failed or short write cuts the
    // file back to its old size, so no torn line is left and fileSize stays true.
    bool appendData(std::string_view data, base::Error* error = nullptr);
    bool resetFile(base::Error* error = nullptr);
    // The whole content; the file is open for appending again afterwards.
    std::optional<std::string> readFromFile(base::Error* error = nullptr);
    bool openFileHandleForWriting(base::Error* error = nullptr);
    bool openFileHandleForReading(base::Error* error = nullptr);
    void closeFileHandle();

protected:
    explicit BBXEventLogFile(std::string fileURL) : fileURL_(std::move(fileURL)) {}
    bool setUp();
    template <class T>
    static std::unique_ptr<T> make(const std::string& fileURL) {
        std::unique_ptr<T> file(new T(fileURL));
        if (!file->setUp()) return nullptr;
        return file;
    }

private:
    std::string fileURL_;
    std::uint64_t fileSize_ = 0;
    int fd_ = -1;
    bool writing_ = false;
};

class BBXEventLogEventFile : public BBXEventLogFile {
public:
    static std::unique_ptr<BBXEventLogEventFile> initWithURL(const std::string& fileURL);
    static std::unique_ptr<BBXEventLogEventFile> initWithName(const std::string& name,
                                                              const std::string& directoryURL);
    bool appendEvent(const BBXEventLogEvent& event, base::Error* error = nullptr);

private:
    friend class BBXEventLogFile;
    explicit BBXEventLogEventFile(std::string fileURL) : BBXEventLogFile(std::move(fileURL)) {}
    std::string scratch_;
};
