#include "kits/trellis/TRLServerTrust.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

std::shared_ptr<const TRLCertificate> fromX509(X509* x509, std::string der) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return nullptr;
    std::string pem;
    if (PEM_write_bio_X509(bio, x509) == 1) {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        if (n > 0) pem.assign(data, static_cast<std::size_t>(n));
    }
    BIO_free(bio);
    if (pem.empty()) return nullptr;
    std::string cn;
    if (X509_NAME* subject = X509_get_subject_name(x509)) {
        char buf[256] = {};
        if (X509_NAME_get_text_by_NID(subject, NID_commonName, buf, sizeof buf) > 0) cn = buf;
    }
    return std::make_shared<const TRLCertificate>(std::move(der), std::move(pem), std::move(cn));
}

}  // namespace

std::shared_ptr<const TRLCertificate> TRLCertificate::fromDER(const std::uint8_t* bytes, std::size_t length) {
    if (!bytes || length == 0 || length > 1 << 20) return nullptr;
    const unsigned char* p = bytes;
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(length));
    if (!x509) return nullptr;
    // Trailing bytes after the certificate mean this was not one certificate.
    if (p != bytes + length) {
        X509_free(x509);
        return nullptr;
    }
    auto cert = fromX509(x509, std::string(reinterpret_cast<const char*>(bytes), length));
    X509_free(x509);
    return cert;
}

std::shared_ptr<const TRLCertificate> TRLCertificate::fromPEM(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) return nullptr;
    X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!x509) return nullptr;
    unsigned char* der = nullptr;
    int n = i2d_X509(x509, &der);
    std::shared_ptr<const TRLCertificate> cert;
    if (n > 0) cert = fromX509(x509, std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n)));
    OPENSSL_free(der);
    X509_free(x509);
    return cert;
}

int TRLServerTrust::setAnchorCertificates(const TRLCertificateList& anchors) {
    for (const auto& a : anchors)
        if (!a) return -50;
    anchors_ = anchors;
    return 0;
}

int TRLServerTrust::setAnchorCertificatesOnly(bool only) {
    anchorsOnly_ = only;
    return 0;
}

int TRLServerTrust::evaluate(int* result) const {
    int r = (anchorsOnly_ && anchors_.empty()) ? FatalTrustFailure : Unspecified;
    if (result) *result = r;
    return 0;
}

std::string TRLServerTrust::anchorsPEM() const {
    std::string out;
    for (const auto& a : anchors_) out += a->pem();
    return out;
}
