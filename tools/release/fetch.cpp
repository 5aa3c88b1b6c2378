// HTTPS downloads for `check`: certificates are always checked, and neither
// the address nor a redirect may leave HTTPS.
#include "tool.h"

#include <curl/curl.h>

#include <cstdio>

namespace {

size_t to_file(char* data, size_t size, size_t count, void* context) {
    return fwrite(data, size, count, static_cast<FILE*>(context)) * size;
}

}  // namespace

bool fetch_to_file(const std::string& url, const std::string& cacert, const std::string& path,
                   std::string& error) {
    if (url.compare(0, 8, "https://") != 0) {
        error = "only https addresses are fetched";
        return false;
    }
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    static bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CURL* curl = started ? curl_easy_init() : nullptr;
    if (!curl) {
        fclose(out);
        error = "cannot start the HTTPS client";
        return false;
    }
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "stonewake-release/1.0");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, to_file);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, out);
    if (!cacert.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, cacert.c_str());
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    bool written = fclose(out) == 0;
    if (rc != CURLE_OK) {
        error = message[0] ? message : curl_easy_strerror(rc);
        return false;
    }
    if (status != 200) {
        error = "the server answered " + std::to_string(status);
        return false;
    }
    if (!written) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
