#include "base/CurlSetup.h"

#include <cstdlib>
#include <mutex>

#include "base/Text.h"

namespace base {

void curlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void curlApplySetup(CURL* curl, const CurlSetup& setup) {
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (setup.errorBuffer) {
        setup.errorBuffer[0] = '\0';
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, setup.errorBuffer);
    }
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, setup.verifyPeer ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, setup.verifyPeer ? 2L : 0L);
    if (!setup.caInfoBlob.empty()) {
        // Only these roots: the system's store and folder are cleared.
        curl_blob blob{const_cast<char*>(setup.caInfoBlob.data()), setup.caInfoBlob.size(), CURL_BLOB_COPY};
        curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    } else if (!setup.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAINFO, setup.caFile.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, setup.connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, setup.timeoutMs);
    // A proxy from the environment never carries loopback traffic (the
    // gallery's own address, the tests' servers); the user's exceptions stay.
    std::string noProxy = "localhost,127.0.0.1,::1";
    if (const char* env = std::getenv("no_proxy"); env && *env) noProxy += std::string(",") + env;
    else if (const char* env2 = std::getenv("NO_PROXY"); env2 && *env2) noProxy += std::string(",") + env2;
    curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy.c_str());  // libcurl copies the text
}

std::size_t curlCollectHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(user);
    std::size_t n = size * count;
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {
        headers->clear();
        return n;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    headers->emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    return n;
}

}  // namespace base
