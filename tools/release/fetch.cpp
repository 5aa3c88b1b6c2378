// HTTPS downloads for `check`: certificates are always checked, and neither
// the address nor a redirect may leave HTTPS.
#include "tool.h"

#include <curl/curl.h>

#include <cstdio>

namespace {

size_t to_file(char* data, size_t size, size_t count, void* context) {
    return fwrite(data, size, count, static_cast<FILE*>(context)) * size;
}

// A client with every option of a fetch into `out`; null when it cannot start.
CURL* client_for(const std::string& url, const std::string& cacert, FILE* out, char* message) {
    static bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CURL* curl = started ? curl_easy_init() : nullptr;
    if (!curl) return nullptr;
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
    return curl;
}

}  // namespace

bool fetch_to_file(const std::string& url, const std::string& cacert, const std::string& path) {
    if (url.compare(0, 8, "https://") != 0) {
        tool_error("only https addresses are fetched");
        return false;
    }
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        tool_error("cannot write %s", path.c_str());
        return false;
    }
    char message[CURL_ERROR_SIZE] = "";
    CURL* curl = client_for(url, cacert, out, message);
    if (!curl) {
        fclose(out);
        tool_error("cannot start the HTTPS client");
        return false;
    }
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    bool written = fclose(out) == 0;
    if (rc != CURLE_OK) tool_error("%s", message[0] ? message : curl_easy_strerror(rc));
    else if (status != 200) tool_error("the server answered %ld", status);
    else if (!written) tool_error("cannot write %s", path.c_str());
    return rc == CURLE_OK && status == 200 && written;
}
