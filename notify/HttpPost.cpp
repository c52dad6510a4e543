// The bounded POST worker of the webhook and ntfy channels. The request is
// complete before the worker starts and belongs to it alone, so a reload of
// the configuration cannot pull anything from under a running transfer.
#include "notify/HttpPost.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "core/ThreadTable.h"

namespace {

constexpr long kConnectTimeoutMs = 30000;
constexpr long kTotalTimeoutMs = 120000;
std::atomic<long> gConnectTimeoutMs{kConnectTimeoutMs};
std::atomic<long> gTotalTimeoutMs{kTotalTimeoutMs};
std::mutex gCaFileMutex;
std::string gCaFile;  // empty: the system's store

struct PostJob {
    HttpPostRequest request;
    std::string caFile;
    long connectTimeoutMs = kConnectTimeoutMs;  // taken when the post starts
    long totalTimeoutMs = kTotalTimeoutMs;
};

struct EasyHandle {
    CURL* handle = curl_easy_init();
    ~EasyHandle() {
        if (handle) curl_easy_cleanup(handle);
    }
};

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    bool append(const std::string& header) {
        curl_slist* grown = curl_slist_append(list, header.c_str());
        if (grown) list = grown;
        return grown != nullptr;
    }
};

// The reply is not needed: only its status counts. Taking it here keeps it
// off standard output and bounds nothing in memory.
size_t discardReply(char*, size_t size, size_t count, void*) {
    return size * count;
}

void fail(const PostJob& job, const char* error) {
    std::printf("%s::post, err '%s', url '%s'\n", job.request.channel, error,
                maskUrl(job.request.url).c_str());
    settle(job.request.delivery, false);
}

void post(const PostJob& job) {
    EasyHandle easy;
    HeaderList headers;
    bool listed = true;
    for (const std::string& header : job.request.headers) listed = listed && headers.append(header);
    // No "Expect: 100-continue" round trip for longer bodies: some hook
    // services never answer it.
    listed = listed && headers.append("Expect:");
    if (!easy.handle || !listed) return fail(job, "no curl handle");

    CURL* curl = easy.handle;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, job.request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, job.request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(job.request.body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Zentok");
    // Only web addresses: a configured "file:" or "smtp:" URL fails instead.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect is not followed: the hook has moved and the operator must
    // learn it, which the failure line tells.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!job.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, job.caFile.c_str());
    // Several workers run at once: no signals, and bounded waits.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, job.connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, job.totalTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardReply);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);

    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) return fail(job, errorText[0] ? errorText : curl_easy_strerror(result));
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        char error[40];
        std::snprintf(error, sizeof error, "HTTP status %ld", status);
        return fail(job, error);
    }
    settle(job.request.delivery, true);
}

}  // namespace

bool startHttpPost(HttpPostRequest request) {
    auto job = std::make_shared<PostJob>();
    job->request = std::move(request);
    {
        std::lock_guard<std::mutex> lock(gCaFileMutex);
        job->caFile = gCaFile;
    }
    job->connectTimeoutMs = gConnectTimeoutMs.load();
    job->totalTimeoutMs = gTotalTimeoutMs.load();
    // The end of a run waits for the post up to its own limit.
    ThreadHandle handle =
        startThread([job] { post(*job); }, std::max(job->connectTimeoutMs, job->totalTimeoutMs));
    if (!handle) {
        fail(*job, "cannot start worker");
        return false;
    }
    addThreadHandle(std::move(handle));
    return true;
}

std::string maskUrl(const std::string& url) {
    size_t scheme = url.find("://");
    size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    size_t pathStart = url.find_first_of("/?#", authority);
    if (pathStart == std::string::npos) pathStart = url.size();
    size_t tailStart = url.find_first_of("?#", pathStart);
    if (tailStart == std::string::npos) tailStart = url.size();

    std::string masked = url.substr(0, authority);
    std::string host = url.substr(authority, pathStart - authority);
    size_t at = host.rfind('@');
    masked += at == std::string::npos ? host : "***" + host.substr(at);

    std::string path = url.substr(pathStart, tailStart - pathStart);
    size_t second = path.find('/', 1);
    if (second != std::string::npos && second + 1 < path.size()) path = path.substr(0, second) + "/***";
    masked += path;

    if (tailStart < url.size()) masked += url.substr(tailStart, 1) + "***";
    return masked;
}

void setHttpPostTimeoutsForTesting(long connectMs, long totalMs) {
    gConnectTimeoutMs = connectMs > 0 ? connectMs : kConnectTimeoutMs;
    gTotalTimeoutMs = totalMs > 0 ? totalMs : kTotalTimeoutMs;
}

void setHttpPostCaFileForTesting(const std::string& caFile) {
    std::lock_guard<std::mutex> lock(gCaFileMutex);
    gCaFile = caFile;
}
