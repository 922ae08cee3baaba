#include "kits/tally/BBXAnalyticsPackaging.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "base/Files.h"
#include "kits/tally/BBXAnalyticsGzipFile.h"
#include "kits/tally/TallyFiles.h"
#include "kits/tally/TallyLog.h"

namespace fs = std::filesystem;
using tally::posixError;
using tally::setError;

namespace {
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

bool BBXAnalyticsPackaging::packageLogsFromActiveSessionFragmentDirectoryURL(BBXEventLogSessionRepository& repository,
                                                                             const std::string& activeFragment,
                                                                             const std::string& packagedFragment,
                                                                             base::Error* error) {
    auto items = repository.contentsOfDirectoryURL(activeFragment, error);
    if (!items) return false;
    for (const auto& item : *items) {
        if (!BBXEventLogSessionRepository::itemURLHasPathExtensionMatching(item, "log")) continue;
        std::string target = (fs::path(packagedFragment) / (fs::path(item).filename().string() + ".zip")).string();
        Fd source, dest;
        // Something else named like a log (a pipe, a link to a device) would
        // hang the packaging or feed it without end.
        base::ReadFailure failure;
        source.fd = base::openRegularFile(item, &failure);
        if (source.fd < 0) {
            setError(error, base::Error("NSPOSIXErrorDomain", errno, "open " + item + ": " + failure.why));
            return false;
        }
        dest.fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (dest.fd < 0) {
            setError(error, posixError(errno, "create " + target));
            return false;
        }
        if (BBXAnalyticsGzipFile(source.fd, dest.fd) != 0) {
            setError(error, base::Error("BBXAnalyticsGzipFile", -1, "unable to compress " + item));
            return false;
        }
        if (::fsync(dest.fd) != 0) {
            setError(error, posixError(errno, "sync " + target));
            return false;
        }
    }
    return true;
}

bool BBXAnalyticsPackaging::packageSessionFragment(BBXEventLogSessionRepository& repository,
                                                   const std::string& activeFragment, base::Error* error) {
    auto prep = repository.prepSessionFragmentDirectoryURLForStateName(BBXEventLogSessionRepository::kPackagedState,
                                                                      activeFragment, error);
    if (!prep) return false;
    std::string finalURL = (fs::path(*prep).parent_path() / fs::path(*prep).stem()).string();
    std::error_code ec;
    if (fs::is_directory(finalURL, ec)) {
        // The previous run stopped after the rename: the packaged copy is
        // complete, the ACTIVE directory is what is left over.
        fs::remove_all(*prep, ec);
        return repository.removeSessionFragmentDirectory(activeFragment, error);
    }
    if (!packageLogsFromActiveSessionFragmentDirectoryURL(repository, activeFragment, *prep, error)) return false;
    if (!tally::syncPath(*prep, true)) {
        setError(error, posixError(errno, "sync " + *prep));
        return false;
    }
    auto done = repository.removePrepStatusFromSessionFragmentDirectoryURL(*prep, error);
    if (!done) return false;
    std::string session = BBXEventLogSessionRepository::sessionDirectoryURLForSessionFragmentDirectoryURL(*done);
    if (!tally::syncPath(session, true)) {
        setError(error, posixError(errno, "sync " + session));
        return false;
    }
    return repository.removeSessionFragmentDirectory(activeFragment, error);
}

bool BBXAnalyticsPackaging::packageClosedSessionFragments(BBXEventLogSessionRepository& repository,
                                                          const std::vector<std::string>& skip, base::Error* error) {
    return packageClosedSessionFragments(repository, skip, nullptr, error);
}

bool BBXAnalyticsPackaging::packageClosedSessionFragments(BBXEventLogSessionRepository& repository,
                                                          const std::vector<std::string>& skip,
                                                          const BBXEventLogSessionRepository::SessionClaim& claim,
                                                          base::Error* error) {
    using Repo = BBXEventLogSessionRepository;
    base::Error purgeError;
    if (!repository.purgePrepSessionFragmentDirectoriesForStateName(Repo::kPackagedState, &purgeError))
        tally::debugLog("Unable to purge packaged prep session fragments {{error = {}}}",
                        purgeError.localizedDescription());
    auto sessions = repository.sessionDirectoryURLsForStateName(Repo::kActiveState, error);
    if (!sessions) return false;
    std::vector<std::string> skipped;
    for (const auto& s : skip) skipped.push_back(Repo::standardized(s));
    bool ok = true;
    for (const auto& session : *sessions) {
        std::shared_ptr<void> held;
        if (claim && !(held = claim(session))) continue;
        base::Error listError;
        auto fragments = repository.sessionFragmentDirectoryURLsForSessionDirectory(session, &listError);
        if (!fragments) {
            std::error_code ec;
            if (!fs::exists(session, ec)) continue;  // gone meanwhile: nothing left to package
            if (ok) setError(error, listError);
            ok = false;
            continue;
        }
        for (const auto& fragment : *fragments) {
            if (std::find(skipped.begin(), skipped.end(), Repo::standardized(fragment)) != skipped.end()) continue;
            base::Error fragmentError;
            if (!packageSessionFragment(repository, fragment, &fragmentError)) {
                tally::debugLog("Unable to package session fragment {} {{{}}}", fragment,
                                fragmentError.localizedDescription());
                if (ok) setError(error, fragmentError);
                ok = false;
            }
        }
        if (held) repository.removeSessionDirectoryIfEmpty(session);
    }
    return ok;
}
