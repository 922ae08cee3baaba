#include "kits/trellis/TRLCertificatePinner.h"

namespace trellis_embedded {
struct DerCertificate {
    const std::uint8_t* bytes;
    std::size_t length;
};
extern const DerCertificate kPinnedCertificates[];
extern const std::size_t kPinnedCertificateCount;
}  // namespace trellis_embedded

const TRLCertificateList& TRLPinnedCertificates() {
    static const TRLCertificateList* pinned = [] {
        auto* list = new TRLCertificateList();
        for (std::size_t i = 0; i < trellis_embedded::kPinnedCertificateCount; ++i) {
            const auto& der = trellis_embedded::kPinnedCertificates[i];
            if (auto cert = TRLCertificateFromDERBytes(der.bytes, der.length)) list->push_back(std::move(cert));
        }
        return list;
    }();
    return *pinned;
}

std::shared_ptr<const TRLCertificate> TRLCertificateFromDERBytes(const std::uint8_t* bytes, std::size_t length) {
    return TRLCertificate::fromDER(bytes, length);
}

TRLCertificatePinner::TRLCertificatePinner(TRLCertificateList certificates) : certificates_(std::move(certificates)) {}

std::shared_ptr<const TRLCertificate> TRLCertificatePinner::createCertificationWithData(const std::uint8_t* bytes,
                                                                                      std::size_t length) {
    return TRLCertificateFromDERBytes(bytes, length);
}

int TRLCertificatePinner::evaluateTrust(TRLServerTrust& trust, int* result) const {
    int r = TRLServerTrust::Invalid;
    int status = 0;
    if (certificates_.empty()) {
        if (result) *result = TRLServerTrust::Invalid;
        return 0;
    }
    if ((status = trust.setAnchorCertificates(certificates_)) != 0) {
        if (result) *result = TRLServerTrust::FatalTrustFailure;
        return status;
    }
    if ((status = trust.setAnchorCertificatesOnly(true)) != 0) {
        if (result) *result = TRLServerTrust::FatalTrustFailure;
        return status;
    }
    if ((status = trust.evaluate(&r)) != 0) {
        if (result) *result = TRLServerTrust::Invalid;
        return status;
    }
    if (result) *result = r;
    return 0;
}

bool TRLCertificatePinner::handleChallenge(const BBXURLAuthenticationChallenge& challenge, BBXURLSession&,
                                           const BBXChallengeCompletion& completion) const {
    if (!challenge.serverTrust || challenge.authenticationMethod != kBBXAuthenticationMethodServerTrust) {
        completion(BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
        return false;
    }
    int result = TRLServerTrust::Invalid;
    int status = evaluateTrust(*challenge.serverTrust, &result);
    if (status == 0 && (result == TRLServerTrust::Proceed || result == TRLServerTrust::Unspecified)) {
        completion(BBXURLSessionAuthChallengeDisposition::UseCredential, BBXURLCredential{challenge.serverTrust});
        return true;
    }
    completion(BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
    return false;
}
