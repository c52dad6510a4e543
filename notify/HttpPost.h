// One HTTP(S) POST of a notification, performed by the sender with bounded
// waits and verified TLS, for the channels that post to chat and
// push services; and the form of a URL that may be shown on the console.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "notify/Notifier.h"

struct HttpPostRequest {
    const char* channel = "";  // names the channel in the failure line
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;
    DeliveryHandle delivery;  // settled when the transfer ends
    std::string shownUrl;     // the URL as failure lines show it; empty: maskUrl(url)
    // Reads the reply to a post the server refused (a status outside 2xx),
    // on the sender's thread: returns the server's reason for the failure
    // line and may set the delivery's retry time. Unset, replies are not kept.
    std::function<std::string(long status, const std::string& reply, Delivery* delivery)> readRefusal;
    // Takes the failure's text instead of the failure line, on the sender's
    // thread before the delivery settles: for a post whose caller says
    // itself when failures start and end.
    std::function<void(const std::string& error)> takeFailure;
    // Told the outcome on the sender's thread (or at once when the post could
    // not be handed over), just before the delivery settles: for a notice
    // that goes to several servers and is delivered once all took it.
    std::function<void(bool delivered)> onOutcome;
    // Reads the reply of a post the server took (2xx), on the sender's
    // thread, for a post whose answer is its purpose. A reply longer than
    // `keptReplyBytes` ends the transfer there: `cut` says so and `reply`
    // holds its start. Unset, replies are not kept.
    std::function<void(const std::string& reply, bool cut)> readReply;
    size_t keptReplyBytes = 16384;
    std::string lane;         // the sender's lane; empty: the delivery's
    long totalTimeoutMs = 0;  // the transfer's own limit; 0: the common one
    bool get = false;         // a GET without a body (a poll) instead of the POST
};

// Prepares the post and hands it to the sender, in the lane of its
// delivery. When it ends the delivery is settled: a status from 200 to 299
// is delivered; anything else fails and prints
// "<channel>::post, err '...', url '<masked url>'". False when the post could
// not be handed over (the line is printed and the delivery settled as failed).
bool startHttpPost(HttpPostRequest request);

// The URL as the console shows it, so no secret that is part of it lands in
// a log: user-info, every path segment after the first, the query and the
// fragment are replaced by "***". Webhook services carry their token in the
// path (".../services/T0/B0/secret") or in the query ("?token=secret").
std::string maskUrl(const std::string& url);

// Transfer limits, so a server that never answers cannot hold a place of
// the sender for ever. Tests shorten them; 0 restores the defaults (30 s, 120 s).
void setHttpPostTimeoutsForTesting(long connectMs, long totalMs);
// Trusts the certificates in `caFile` instead of the system's store (tests
// only); an empty text restores the system's store.
void setHttpPostCaFileForTesting(const std::string& caFile);
