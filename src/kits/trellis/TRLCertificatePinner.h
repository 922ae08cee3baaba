#pragma once
// Certificate pinning: the SDK trusts its servers only when their chains end
// in one of the roots it carries itself; the system's roots do not count.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kits/trellis/BBXURLSession.h"
#include "kits/trellis/TRLServerTrust.h"

// The eight pinned public roots, made once from the DER bytes compiled into
// the program.
const TRLCertificateList& TRLPinnedCertificates();
std::shared_ptr<const TRLCertificate> TRLCertificateFromDERBytes(const std::uint8_t* bytes, std::size_t length);

class TRLCertificatePinner {
public:
    explicit TRLCertificatePinner(TRLCertificateList certificates);
    static std::shared_ptr<const TRLCertificate> createCertificationWithData(const std::uint8_t* bytes,
                                                                             std::size_t length);

    const TRLCertificateList& certificates() const { return certificates_; }

    // Anchors the trust to the pinned roots alone. Answers 0 on success and
    // fills `result` (0 invalid, 4 unspecified, 6 fatal failure).
    int evaluateTrust(TRLServerTrust& trust, int* result) const;
    // Answers a challenge through `completion` exactly once: with the
    // credential of the pinned trust (true), or by cancelling it (false).
    bool handleChallenge(const BBXURLAuthenticationChallenge& challenge, BBXURLSession& session,
                         const BBXChallengeCompletion& completion) const;

private:
    TRLCertificateList certificates_;
};
