// httpget.h - one HTTP GET over libcurl that keeps only the first bytes of
// the body. The update check is its only user.
#pragma once

#include <QByteArray>
#include <QList>

namespace vellumo::update {

struct HttpGetRequest {
    QByteArray url;
    QByteArray userAgent;
    QList<QByteArray> headers;   // extra request headers, "Name: value"
    long maxBytes = 512;         // the body is cut off (and the transfer ended) here
    long connectTimeoutMs = 30000;
    long totalTimeoutMs = 60000;
};

struct HttpGetResult {
    enum Status {
        Ok,         // a response arrived; body holds at most maxBytes of it
        OpenFailed, // no response: bad address, refused, unreachable, timed out
        ReadFailed, // the response started but its body could not be read
    };
    Status status = OpenFailed;
    QByteArray body;
    long httpCode = 0; // informational only
};

// Blocks the calling thread for at most totalTimeoutMs (plus name lookup on
// systems where that cannot be interrupted). Safe to call from any thread.
HttpGetResult httpGet(const HttpGetRequest &request);

} // namespace vellumo::update
