#include "httpget.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace vellumo::update {
namespace {

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    QByteArray body;
    long maxBytes = 0;
    bool cutOff = false;      // we ended the transfer ourselves after maxBytes
    bool headersSeen = false; // the server answered with a status line
};

size_t onBody(char *data, size_t size, size_t count, void *user)
{
    auto *t = static_cast<Transfer *>(user);
    const size_t bytes = size * count;
    const size_t room = static_cast<size_t>(t->maxBytes) - static_cast<size_t>(t->body.size());
    if (bytes <= room) {
        t->body.append(data, static_cast<qsizetype>(bytes));
        return bytes;
    }
    // Keep what fits, then abort: nothing beyond maxBytes is ever read.
    t->body.append(data, static_cast<qsizetype>(room));
    t->cutOff = true;
    return 0;
}

size_t onHeader(char *, size_t size, size_t count, void *user)
{
    static_cast<Transfer *>(user)->headersSeen = true;
    return size * count;
}

struct EasyDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

} // namespace

HttpGetResult httpGet(const HttpGetRequest &request)
{
    initCurlOnce();
    HttpGetResult result;

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy)
        return result;
    CURL *c = easy.get();

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    for (const QByteArray &h : request.headers) {
        curl_slist *next = curl_slist_append(headers.get(), h.constData());
        if (!next)
            return result;
        (void)headers.release();
        headers.reset(next);
    }

    Transfer transfer;
    transfer.maxBytes = request.maxBytes < 0 ? 0 : request.maxBytes;
    const QByteArray url = request.url;
    const QByteArray agent = request.userAgent;

    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_USERAGENT, agent.constData());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L); // we run on worker threads
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, request.totalTimeoutMs);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);

    const CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.httpCode);

    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && transfer.cutOff)) {
        result.status = HttpGetResult::Ok;
    } else if (!transfer.headersSeen) {
        result.status = HttpGetResult::OpenFailed;
    } else if (rc == CURLE_PARTIAL_FILE) {
        // The server closed early: what did arrive is the body.
        result.status = HttpGetResult::Ok;
    } else {
        result.status = HttpGetResult::ReadFailed;
    }
    if (result.status == HttpGetResult::Ok)
        result.body = transfer.body;
    return result;
}

} // namespace vellumo::update
