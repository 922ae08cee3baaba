#include "kits/blackbox/BBXApplication.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include <systemd/sd-bus.h>

#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/crashtime/BBXContext.h"
#include "kits/trellis/TRLUtilities.h"

extern char** environ;

std::optional<std::string> BBXApplicationExtensionPointIdentifier() {
    const nlohmann::json info = BBXMainInfoDictionary();
    if (!info.is_object()) return std::nullopt;
    auto extension = info.find("NSExtension");
    if (extension == info.end()) return std::nullopt;
    if (!extension->is_object()) {
        BBXSDKLog("%s: Error: NSExtension Info.plist entry is mal-formed\n", __func__);
        return std::nullopt;
    }
    auto identifier = extension->find("NSExtensionPointIdentifier");
    if (identifier == extension->end() || !identifier->is_string()) {
        BBXSDKLog("%s: Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n", __func__);
        return std::nullopt;
    }
    return identifier->get<std::string>();
}

bool BBXApplicationIsExtension() { return BBXApplicationExtensionPointIdentifier().has_value(); }

namespace {
std::atomic<BBXSharedApplication*> gSharedApplication{nullptr};
}  // namespace

void BBXApplicationSetSharedApplication(BBXSharedApplication* application) { gSharedApplication.store(application); }
BBXSharedApplication* BBXApplicationSharedApplication() { return gSharedApplication.load(); }

namespace {

// How long the login manager may take to answer: the work waits for it.
constexpr std::uint64_t kInhibitTimeoutMicroseconds = 1000 * 1000;

// Takes a "delay" inhibitor on suspend and shutdown from the login manager
// on the system bus: the system then waits (up to its own limit) for the
// descriptor to be closed. -1 when there is no bus, no login manager, or it
// refuses.
int takeDelayInhibitor(const std::string& reason) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return -1;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int inhibitor = -1;
    const std::string who = BBXApplicationDisplayName().value_or("Blackbox");
    if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit") >= 0 &&
        sd_bus_message_append(call, "ssss", "shutdown:sleep", who.c_str(), reason.c_str(), "delay") >= 0 &&
        sd_bus_call(bus, call, kInhibitTimeoutMicroseconds, &error, &reply) >= 0) {
        int fd = -1;
        // The reply owns its descriptor; keep a copy that no child inherits.
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) inhibitor = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    } else if (BBXDebugMode() && sd_bus_error_is_set(&error)) {
        BBXSDKLog("%s: no inhibitor: %s\n", "BBXApplicationBeginActivity", error.message ? error.message : error.name);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
    return inhibitor;
}

}  // namespace

BBXApplicationActivityToken::~BBXApplicationActivityToken() {
    if (inhibitor >= 0) ::close(inhibitor);
}

std::unique_ptr<BBXApplicationActivityToken> BBXApplicationBeginActivity(std::uint64_t options, const std::string& reason) {
    auto token = std::make_unique<BBXApplicationActivityToken>();
    token->options = options;
    token->reason = reason;
    if (options & (BBXActivitySuddenTerminationDisabled | BBXActivityAutomaticTerminationDisabled))
        token->inhibitor = takeDelayInhibitor(reason);
    return token;
}

void BBXApplicationEndActivity(std::unique_ptr<BBXApplicationActivityToken> token) { token.reset(); }

void BBXApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block) {
    auto token = BBXApplicationBeginActivity(options, reason);
    if (block) block();
    BBXApplicationEndActivity(std::move(token));
}

std::string BBXApplicationBundleIdentifierNamespace() { return TRLBundleIdentifierNamespace(); }
std::optional<std::string> BBXApplicationBuildVersion() { return TRLApplicationBuildVersion(); }
std::optional<std::string> BBXApplicationDisplayVersion() { return TRLApplicationDisplayVersion(); }
std::optional<std::string> BBXApplicationDisplayName() { return TRLApplicationDisplayName(); }

void BBXApplicationOpenURL(const std::string& url, BBXExtensionContext* extensionContext,
                           std::function<void(bool opened)> completion) {
    if (!completion) completion = [](bool) {};
    if (extensionContext) {
        extensionContext->openURL(url, std::move(completion));
        return;
    }
    // The opener would take a leading "-" for one of its options, and a C
    // string cannot carry a NUL: such an address is not opened.
    if (url.empty() || url.front() == '-' || url.find('\0') != std::string::npos) {
        completion(false);
        return;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The opener starts with no signal blocked or ignored, whatever the
    // calling thread has.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string program = "xdg-open", argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        completion(false);
        return;
    }
    // The opener may wait for the program it starts: its end is awaited on
    // a thread of its own.
    std::thread([pid, completion = std::move(completion)] {
        int status = 0;
        pid_t ended;
        do ended = ::waitpid(pid, &status, 0);
        while (ended < 0 && errno == EINTR);
        completion(ended == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }).detach();
}

std::uint64_t BBXProfileMark() { return BBXAbsoluteTime(); }

double BBXProfileEndInterval(std::uint64_t mark) {
    const std::uint64_t now = BBXAbsoluteTime();
    return now >= mark ? static_cast<double>(now - mark) / 1e6 : 0.0;
}

void BBXProfileBlock(const char* label, const std::function<void()>& block) {
    const std::uint64_t mark = BBXProfileMark();
    if (block) block();
    std::fprintf(stderr, "[Profile] %s: %f ms\n", label ? label : "(null)", BBXProfileEndInterval(mark));
}
