#pragma once
// Turning recorded addresses into symbols at the next launch: images matched
// by build-id, looked up with the dynamic linker and the ELF symbol tables,
// demangled, and written beside the record file.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXStackFrame.h"

using BBXThreadArray = std::vector<std::vector<BBXStackFrame>>;

class BBXSymbolResolver {
public:
    BBXSymbolResolver();
    ~BBXSymbolResolver();
    // The "load" records of a report's image file; false when it has none.
    bool loadBinaryImagesFromFile(const std::string& path);
    std::optional<nlohmann::json> loadedBinaryImageForPC(std::uint64_t address) const;
    bool fillInImageDetails(BBXLoadedImage* image, const std::string& uuid) const;
    std::optional<BBXStackFrame> frameForAddress(std::uint64_t address);
    // Sets symbol, offset and library; the step back over a call applies
    // to return addresses only. True when a symbol was found; without one
    // a frame in a known image still gets the image's name and the offset
    // in it.
    bool updateStackFrame(BBXStackFrame& frame, bool isReturnAddress = true);
    std::size_t imageCount() const { return images_.size(); }
    // Where separate debug files are installed, laid out by build-id
    // (".build-id/xx/rest.debug"); "/usr/lib/debug" unless set. A folder
    // that is set is searched first, then "/usr/lib/debug".
    static void setDebugFileDirectory(const std::string& directory);
    static std::string debugFileDirectory();
    static std::vector<std::string> debugFileSearchPath();

private:
    struct SymbolTable;
    const SymbolTable* tableFor(const std::string& path, const std::string& buildId);
    std::vector<nlohmann::json> images_;
    std::map<std::string, std::unique_ptr<SymbolTable>> tables_;
};

class BBXThreadArrayOperation {
public:
    virtual ~BBXThreadArrayOperation() = default;
    std::shared_ptr<BBXThreadArray> threadArray;
    virtual void main() = 0;
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    // Every frame of every thread in order; a cancellation skips the rest of
    // the current thread. The block learns the frame's position in its thread.
    void enumerateFramesWithBlock(const std::function<void(BBXStackFrame&, std::size_t index)>& block);

private:
    std::atomic<bool> cancelled_{false};
};

class BBXSymbolicationOperation : public BBXThreadArrayOperation {
public:
    std::shared_ptr<BBXSymbolResolver> symbolResolver;
    void main() override;
};

class BBXDemangleOperation : public BBXThreadArrayOperation {
public:
    void main() override;
    static std::optional<std::string> demangleSymbol(const char* symbol);
    static std::optional<std::string> demangleCppSymbol(const char* symbol);
    static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
    static std::optional<std::string> demangleSwiftSymbol(const char* symbol);
};

class BBXSerializeSymbolicatedFramesOperation : public BBXThreadArrayOperation {
public:
    std::string outputPath;
    void main() override;
};
