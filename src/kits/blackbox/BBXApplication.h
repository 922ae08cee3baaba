#pragma once
// Small application functions the crash kit's parts share.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The information dictionary's "NSExtension" / "NSExtensionPointIdentifier";
// none for an ordinary application (and for a malformed entry, with an SDK
// log line).
std::optional<std::string> BBXApplicationExtensionPointIdentifier();
bool BBXApplicationIsExtension();

// The program's application object, which a program with an event loop
// hands the kit the way it hands its main queue; null for a program that
// registered none.
class BBXSharedApplication {
public:
    virtual ~BBXSharedApplication() = default;
    // The application's "NSApplicationCrashOnExceptions" setting.
    virtual bool crashOnExceptions() const { return false; }
};
void BBXApplicationSetSharedApplication(BBXSharedApplication* application);
BBXSharedApplication* BBXApplicationSharedApplication();

// Activity options that ask the system not to end the process under the
// work: sudden and automatic termination.
inline constexpr std::uint64_t BBXActivitySuddenTerminationDisabled = 0x4000;
inline constexpr std::uint64_t BBXActivityAutomaticTerminationDisabled = 0x8000;

// One activity under way: its options and reason, and the login manager's
// "delay" inhibitor on system suspend and shutdown while it lasts (-1 where
// the machine has no login manager that offers one). Released when dropped.
struct BBXApplicationActivityToken {
    std::uint64_t options = 0;
    std::string reason;
    int inhibitor = -1;
    BBXApplicationActivityToken() = default;
    BBXApplicationActivityToken(const BBXApplicationActivityToken&) = delete;
    BBXApplicationActivityToken& operator=(const BBXApplicationActivityToken&) = delete;
    ~BBXApplicationActivityToken();
};
std::unique_ptr<BBXApplicationActivityToken> BBXApplicationBeginActivity(std::uint64_t options, const std::string& reason);
// A null token does nothing.
void BBXApplicationEndActivity(std::unique_ptr<BBXApplicationActivityToken> token);
// Runs `block` between the two: a report being processed holds off a
// suspend or shutdown where the login manager allows that.
void BBXApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block);

// The information dictionary's identity: the bundle identifier with every
// "/" as "_", "CFBundleVersion", "CFBundleShortVersionString", and the
// display name ("CFBundleDisplayName", else "CFBundleName", else the build
// version).
std::string BBXApplicationBundleIdentifierNamespace();
std::optional<std::string> BBXApplicationBuildVersion();
std::optional<std::string> BBXApplicationDisplayVersion();
std::optional<std::string> BBXApplicationDisplayName();

// What an extension's host offers it for opening addresses.
class BBXExtensionContext {
public:
    virtual ~BBXExtensionContext() = default;
    virtual void openURL(const std::string& url, std::function<void(bool opened)> completion) = 0;
};
// Opens `url` through the extension context when there is one, else with
// the desktop's opener (xdg-open, started without a shell). Returns at once;
// `completion` hears later, on another thread, whether the opener succeeded.
void BBXApplicationOpenURL(const std::string& url, BBXExtensionContext* extensionContext,
                           std::function<void(bool opened)> completion);

// A host-clock mark and the milliseconds elapsed since one.
std::uint64_t BBXProfileMark();
double BBXProfileEndInterval(std::uint64_t mark);
// Runs `block` and prints "[Profile] <label>: <milliseconds> ms" to the
// standard error stream.
void BBXProfileBlock(const char* label, const std::function<void()>& block);
