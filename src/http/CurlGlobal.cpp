#include "http/CurlGlobal.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <mutex>

void EnsureCurlGlobalInit() {
    static std::once_flag once;
    // curl_global_init is not thread-safe itself, so every caller funnels through here.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

bool CurlHasTls() {
    EnsureCurlGlobalInit();
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && (info->features & CURL_VERSION_SSL) != 0 &&
           info->ssl_version != nullptr && info->ssl_version[0] != '\0';
}

void ReleaseThreadTlsState() {
    OPENSSL_thread_stop();
}
