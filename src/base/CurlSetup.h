#pragma once
// The libcurl set-up every transfer of ours shares: base::Http's blocking
// requests and the SDK core's URL sessions. One place decides signals, trust,
// timeouts, proxies and how reply headers are collected.
#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace base {

struct CurlSetup {
    char* errorBuffer = nullptr;  // CURL_ERROR_SIZE bytes, filled on failure
    long connectTimeoutMs = 30000;
    long timeoutMs = 0;           // the whole transfer; 0 = none
    bool verifyPeer = true;
    std::string_view caInfoBlob;  // PEM roots trusted instead of the system's
    std::string caFile;           // a PEM file of roots trusted instead of the system's
};

// Initialises libcurl once for the process (thread-safe).
void curlGlobalInit();

// Applies the common options: no signals (transfers run on many threads),
// the error buffer, peer and host verification with the given roots, the
// time-outs, and never a proxy for the loopback addresses.
void curlApplySetup(CURL* curl, const CurlSetup& setup);

// A CURLOPT_HEADERFUNCTION whose CURLOPT_HEADERDATA is a
// std::vector<std::pair<std::string, std::string>>: each status line (after a
// redirect or an interim reply) starts a new set; names and values lose the
// blanks around them.
std::size_t curlCollectHeader(char* data, std::size_t size, std::size_t count, void* headers);

}  // namespace base
