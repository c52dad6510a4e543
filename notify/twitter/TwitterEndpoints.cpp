// The REST endpoints of the Twitter client beyond posting a status, and the
// authorization flow. Queries carry their values as given; bodies are
// percent-encoded.
#include "base/Encoding.h"
#include "notify/twitter/TwitterClient.h"

namespace {

const char* const kDummyData = "dummy";

// Appends `item` to a URL, with "?" when the URL has no query yet.
std::string withItem(const std::string& url, const std::string& item) {
    return url + (url.find('?') == std::string::npos ? "?" : "&") + item;
}

// Finds the text between `before` and `after`; false when either is missing.
bool textBetween(const std::string& page, const std::string& before, const std::string& after,
                 std::string& value) {
    size_t start = page.find(before);
    if (start == std::string::npos) return false;
    start += before.size();
    size_t end = page.find(after, start);
    if (end == std::string::npos) return false;
    value = page.substr(start, end - start);
    return true;
}

}  // namespace

bool TwitterClient::search(const std::string& query, const std::string& count) {
    if (query.empty()) return false;
    std::string url = buildUrl("search/tweets") + "?q=" + query;
    if (!count.empty()) url += "&count=" + urlEncode(count);
    return sendGet(url);
}

bool TwitterClient::statusShow(const std::string& id) {
    if (id.empty()) return false;
    return sendGet(buildUrl("statuses/show/", id));
}

bool TwitterClient::statusDestroy(const std::string& id) {
    if (id.empty()) return false;
    return sendDelete(buildUrl("statuses/destroy/", id));
}

bool TwitterClient::retweet(const std::string& id) {
    if (id.empty()) return false;
    return sendPost(buildUrl("statuses/retweet/", id), std::string("text=") + urlEncode(kDummyData));
}

bool TwitterClient::timelineHome(const std::string& sinceId) {
    std::string url = buildUrl("statuses/home_timeline");
    if (!sinceId.empty()) url += "?since_id=" + sinceId;
    return sendGet(url);
}

bool TwitterClient::timelinePublic() {
    return sendGet(buildUrl("statuses/public_timeline"));
}
bool TwitterClient::featured() {
    return sendGet(buildUrl("statuses/featured"));
}
bool TwitterClient::timelineFriends() {
    return sendGet(buildUrl("statuses/friends_timeline"));
}

bool TwitterClient::mentions(const std::string& sinceId) {
    std::string url = buildUrl("statuses/mentions");
    if (!sinceId.empty()) url += "?since_id=" + sinceId;
    return sendGet(url);
}

bool TwitterClient::timelineUser(bool trimUser, bool includeRetweets, unsigned count, const std::string& user,
                                 bool isUserId) {
    std::string url = urlForUser(buildUrl("statuses/user_timeline"), user, isUserId);
    if (user.empty()) url += "?";
    if (count > 0) url += "&count=" + std::to_string(count > 200 ? 200 : count);
    if (includeRetweets) url += "&include_rts=true";
    if (trimUser) url += "&trim_user=true";
    return sendGet(url);
}

bool TwitterClient::lookupUsers(const std::vector<std::string>& users, bool isUserId) {
    if (users.empty()) return false;
    const std::string sep = ",";
    std::string userIds;
    for (size_t i = 0; i < users.size() && i < 100; ++i) {
        if (i > 0) userIds += sep;
        userIds += users[i];
    }
    std::string body = std::string(isUserId ? "user_id=" : "screen_name=") + urlEncode(userIds);
    return sendPost(buildUrl("users/lookup"), body);
}

bool TwitterClient::userShow(const std::string& user, bool isUserId) {
    if (user.empty()) return false;
    return sendGet(urlForUser(buildUrl("users/show"), user, isUserId));
}

bool TwitterClient::friendsList(const std::string& user, bool isUserId) {
    return sendGet(urlForUser(buildUrl("statuses/friends"), user, isUserId));
}

bool TwitterClient::followersList(const std::string& user, bool isUserId) {
    return sendGet(urlForUser(buildUrl("statuses/followers"), user, isUserId));
}

bool TwitterClient::friendshipCreate(const std::string& user, bool isUserId) {
    if (user.empty()) return false;
    return sendPost(urlForUser(buildUrl("friendships/create"), user, isUserId),
                    std::string("text=") + urlEncode(kDummyData));
}

bool TwitterClient::friendshipDestroy(const std::string& user, bool isUserId) {
    if (user.empty()) return false;
    return sendDelete(urlForUser(buildUrl("friendships/destroy"), user, isUserId));
}

bool TwitterClient::friendshipShow(const std::string& target, bool isUserId) {
    std::string url = buildUrl("friendships/show");
    if (!target.empty()) url += std::string("?") + (isUserId ? "target_id=" : "target_screen_name=") + target;
    return sendGet(url);
}

bool TwitterClient::friendsIds(const std::string& user, bool isUserId, const std::string& cursor) {
    std::string url = urlForUser(buildUrl("friends/ids"), user, isUserId);
    if (!cursor.empty()) url = withItem(url, "cursor=" + cursor);
    return sendGet(url);
}

bool TwitterClient::followersIds(const std::string& user, bool isUserId, const std::string& cursor) {
    std::string url = urlForUser(buildUrl("followers/ids"), user, isUserId);
    if (!cursor.empty()) url = withItem(url, "cursor=" + cursor);
    return sendGet(url);
}

bool TwitterClient::directMessages(const std::string& sinceId) {
    std::string url = buildUrl("direct_messages");
    if (!sinceId.empty()) url += "?since_id=" + sinceId;
    return sendGet(url);
}

bool TwitterClient::directMessagesSent() {
    return sendGet(buildUrl("direct_messages/sent"));
}

bool TwitterClient::directMessageSend(const std::string& user, const std::string& message, bool isUserId) {
    if (user.empty() || message.empty()) return false;
    return sendPost(urlForUser(buildUrl("direct_messages/new"), user, isUserId),
                    "text=" + urlEncode(message));
}

bool TwitterClient::directMessageDestroy(const std::string& id) {
    if (id.empty()) return false;
    return sendDelete(buildUrl("direct_messages/destroy/", id));
}

bool TwitterClient::rateLimitStatus() {
    return sendGet(buildUrl("account/rate_limit_status"));
}
bool TwitterClient::favorites() {
    return sendGet(buildUrl("favorites"));
}

bool TwitterClient::favoriteCreate(const std::string& id) {
    if (id.empty()) return false;
    return sendPost(buildUrl("favorites/create/", id), std::string("text=") + urlEncode(kDummyData));
}

bool TwitterClient::favoriteDestroy(const std::string& id) {
    if (id.empty()) return false;
    return sendDelete(buildUrl("favorites/destroy/", id));
}

bool TwitterClient::blockCreate(const std::string& id) {
    if (id.empty()) return false;
    return sendPost(buildUrl("blocks/create/", id), std::string("text=") + urlEncode(kDummyData));
}

bool TwitterClient::blockDestroy(const std::string& id) {
    if (id.empty()) return false;
    return sendDelete(buildUrl("blocks/destroy/", id));
}

bool TwitterClient::blocksList(bool includeEntities, bool skipStatus, const std::string& cursor) {
    std::string items;
    auto add = [&items](const std::string& item) { items += (items.empty() ? "" : "&") + item; };
    if (includeEntities) add("include_entities=true");
    if (skipStatus) add("skip_status=true");
    if (!cursor.empty()) add("cursor=" + cursor);
    std::string url = buildUrl("blocks/list");
    if (!items.empty()) url += "?" + items;
    return sendGet(url);
}

bool TwitterClient::blocksIds(bool stringifyIds, const std::string& cursor) {
    std::string items;
    auto add = [&items](const std::string& item) { items += (items.empty() ? "" : "&") + item; };
    if (stringifyIds) add("stringify_ids=true");
    if (!cursor.empty()) add("cursor=" + cursor);
    std::string url = buildUrl("blocks/ids");
    if (!items.empty()) url += "?" + items;
    return sendGet(url);
}

bool TwitterClient::savedSearches() {
    return sendGet(buildUrl("saved_searches"));
}

bool TwitterClient::savedSearchShow(const std::string& id) {
    if (id.empty()) return false;
    return sendGet(buildUrl("saved_searches/show/", id));
}

bool TwitterClient::savedSearchCreate(const std::string& query) {
    if (query.empty()) return false;
    return sendPost(buildUrl("saved_searches/create"), "query=" + urlEncode(query));
}

bool TwitterClient::savedSearchDestroy(const std::string& id) {
    if (id.empty()) return false;
    return sendDelete(buildUrl("saved_searches/destroy/", id));
}

bool TwitterClient::trends() {
    return sendGet(buildUrl("trends"));
}
bool TwitterClient::trendsDaily() {
    return sendGet(buildUrl("trends/daily"));
}
bool TwitterClient::trendsWeekly() {
    return sendGet(buildUrl("trends/weekly"));
}
bool TwitterClient::trendsCurrent() {
    return sendGet(buildUrl("trends/current"));
}
bool TwitterClient::trendsAvailable() {
    return sendGet(buildUrl("trends/available"));
}

bool TwitterClient::requestToken(std::string& authorizeUrl) {
    if (!handle_) return false;
    std::string url = oauthUrl("/oauth/request_token");
    std::string header;
    signer_.buildAuthorizationHeader(kHttpGet, url, "", header, false);
    if (!sendGet(url, header)) return false;
    std::string reply;
    lastResponseBody(reply);
    signer_.parseTokenReply(reply);
    std::string token;
    signer_.getAccessToken(token);
    authorizeUrl = oauthUrl("/oauth/authorize?oauth_token=") + token;
    return true;
}

bool TwitterClient::fetchPin(const std::string& authorizeUrl) {
    if (!handle_) return false;
    if (!sendGet(authorizeUrl)) return false;
    std::string page;
    lastResponseBody(page);
    std::string authenticityToken;
    std::string oauthToken;
    if (!textBetween(page, "authenticity_token\" type=\"hidden\" value=\"", "\" />", authenticityToken) ||
        !textBetween(page, "oauth_token\" type=\"hidden\" value=\"", "\" />", oauthToken)) {
        return false;
    }
    std::string form = "oauth_token=" + oauthToken + "&authenticity_token=" + authenticityToken +
                       "&session[username_or_email]=" + accountUser_ +
                       "&session[password]=" + accountPassword_;
    if (!sendPost(authorizeUrl, form)) return false;
    lastResponseBody(page);
    std::string pin;
    if (!textBetween(page, "code-desc\"><code>", "</code>", pin)) return false;
    signer_.setVerifierPin(pin);
    return true;
}

bool TwitterClient::accessToken() {
    if (!handle_) return false;
    std::string url = oauthUrl("/oauth/access_token");
    std::string header;
    signer_.buildAuthorizationHeader(kHttpGet, url, "", header, true);
    if (!sendGet(url, header)) return false;
    std::string reply;
    lastResponseBody(reply);
    signer_.parseTokenReply(reply);
    return true;
}
