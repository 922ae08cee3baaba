#pragma once
// Moving closed fragments from ACTIVE to PACKAGED as gzip files.
#include <string>
#include <vector>

#include "base/Error.h"
#include "kits/tally/BBXEventLogSessionRepository.h"

struct BBXAnalyticsPackaging {
    // Compresses every "*.log" of `activeFragment` into `packagedFragment` as
    // "*.log.zip", each file flushed to disk.
    static bool packageLogsFromActiveSessionFragmentDirectoryURL(BBXEventLogSessionRepository& repository,
                                                                 const std::string& activeFragment,
                                                                 const std::string& packagedFragment,
                                                                 base::Error* error = nullptr);

    // Packages one closed fragment: into a prep directory, flushed, renamed
    // to its final name, and only then is the ACTIVE copy removed. A complete
    // packaged copy found from an interrupted earlier run wins over the
    // ACTIVE leftover, which is then just removed.
    static bool packageSessionFragment(BBXEventLogSessionRepository& repository, const std::string& activeFragment,
                                       base::Error* error = nullptr);

    // Purges stale prep directories, then packages every ACTIVE fragment
    // except those in `skip` (the open one). A fragment that fails does not
    // stop the others; the result is false with the first error.
    static bool packageClosedSessionFragments(BBXEventLogSessionRepository& repository,
                                              const std::vector<std::string>& skip, base::Error* error = nullptr);
    // The same, session by session: each session is claimed right before its
    // fragments are packaged and held until they are (a session the claim
    // refuses is being written and stays as it is); a claimed session left
    // with nothing is removed.
    static bool packageClosedSessionFragments(BBXEventLogSessionRepository& repository,
                                              const std::vector<std::string>& skip,
                                              const BBXEventLogSessionRepository::SessionClaim& claim,
                                              base::Error* error = nullptr);
};
