#pragma once
// Certificates and the trust policy of one TLS connection.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An X.509 certificate, kept as DER and PEM.
class TRLCertificate {
public:
    // Null when the bytes are no certificate.
    static std::shared_ptr<const TRLCertificate> fromDER(const std::uint8_t* bytes, std::size_t length);
    // The first certificate of a PEM text; null when there is none.
    static std::shared_ptr<const TRLCertificate> fromPEM(const std::string& pem);

    const std::string& der() const { return der_; }
    const std::string& pem() const { return pem_; }
    const std::string& subjectCommonName() const { return commonName_; }

    TRLCertificate(std::string der, std::string pem, std::string commonName)
        : der_(std::move(der)), pem_(std::move(pem)), commonName_(std::move(commonName)) {}

private:
    std::string der_;
    std::string pem_;
    std::string commonName_;
};

using TRLCertificateList = std::vector<std::shared_ptr<const TRLCertificate>>;

// The trust to place in a server: by default the system's roots; with
// anchors set "only", exactly those roots. The TLS handshake checks the
// server's chain, host name and dates against it.
class TRLServerTrust {
public:
    TRLServerTrust(std::string host, int port) : host_(std::move(host)), port_(port) {}

    // Result codes of an evaluation.
    enum Result : int { Invalid = 0, Proceed = 1, Unspecified = 4, FatalTrustFailure = 6 };

    // Status 0 on success; -50 (a bad parameter) when a certificate is missing.
    int setAnchorCertificates(const TRLCertificateList& anchors);
    int setAnchorCertificatesOnly(bool only);
    // Status 0 and `Unspecified` when the policy is usable (the chain itself
    // is checked during the handshake); `FatalTrustFailure` when the anchors
    // are to be used alone and there are none.
    int evaluate(int* result) const;

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const TRLCertificateList& anchors() const { return anchors_; }
    bool anchorsOnly() const { return anchorsOnly_; }
    // The anchors as one PEM text.
    std::string anchorsPEM() const;

private:
    std::string host_;
    int port_;
    TRLCertificateList anchors_;
    bool anchorsOnly_ = false;
};
