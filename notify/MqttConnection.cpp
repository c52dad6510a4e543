// The connection is work of the sender's thread, which owns the libmosquitto
// handle and drives it with libmosquitto's external-loop calls
// (mosquitto_loop_read, _write, _misc): the socket rides on the sender's
// poll, the back-off and acknowledgement limits are its time-outs, and a
// handed-over publish wakes it, so the publish goes out at once. A
// lost connection is dropped whole: the handle is made anew, nothing of it is
// sent again by the library, and every publish not acknowledged by then
// fails for the outbox to retry. The nodes' retained states have no outbox
// entry behind them: the connection keeps the newest of each topic until
// the broker acknowledges it.
#include "notify/MqttConnection.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "notify/Sender.h"

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kAckLimitMs = 30000;
constexpr int kConnackLimitMs = 10000;
constexpr int kFirstBackoffMs = 1000;
constexpr int kLongestBackoffMs = 60000;
// A publish that finds the connection down waits at most this long for the
// next connection attempt, so a broker that is back is used at once.
constexpr int kPromptAttemptMs = 1000;
constexpr int kCloseWaitMs = 2000;

std::atomic<int> gAckLimitMs{kAckLimitMs};
std::mutex gCaFileMutex;
std::string gCaFile;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string caFile() {
    std::lock_guard<std::mutex> lock(gCaFileMutex);
    return gCaFile;
}

void initLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

struct Outgoing {
    std::string topic;
    std::string payload;
    bool retain = false;
    DeliveryHandle delivery;
    LoopWork::Ticket work;  // counted until the delivery settles or is left open at the close
    int64_t deadlineMs = 0;
};

struct RetainedUpdate {
    std::string topic;
    std::string payload;
    LoopWork::Ticket work;
};

// The newest value of a retained topic that the broker has not acknowledged.
struct RetainedValue {
    std::string payload;
    uint64_t version = 0;  // counts the values handed over, so a late PUBACK of an older one is told apart
    uint64_t sentVersion = 0;  // the version published on the current connection; 0: none
    // Until the first attempt ends: a run's end waits for it as for a notice,
    // but not for a broker that stays down.
    std::optional<LoopWork::Ticket> work;
};

}  // namespace

struct MqttConnection::State : LoopWork {
    MqttAddress address;
    std::string receiver;
    std::string statusTopic;

    std::mutex mutex;
    std::condition_variable finishedSignal;
    std::deque<Outgoing> queue;                // guarded by mutex
    std::deque<RetainedUpdate> retainedQueue;  // guarded by mutex
    bool closing = false;                      // guarded by mutex
    bool finished = false;                     // guarded by mutex
    std::atomic<bool> breakRequested{false};
    std::atomic<bool> goodbye{true};  // "offline" at a clean end

    // The rest belongs to the sender's thread.
    enum class Link { Down, Connecting, Up };
    mosquitto* mosq = nullptr;
    Link link = Link::Down;
    int64_t nextAttemptMs = 0;
    int64_t lastAttemptMs = 0;
    int64_t connackDeadlineMs = 0;
    int backoffMs = kFirstBackoffMs;
    bool downReported = false;
    std::string lostReason;  // set by a callback; the loop drops the connection after it
    std::deque<Outgoing> waiting;
    std::map<int, Outgoing> unacknowledged;                            // by message id
    std::map<std::string, RetainedValue> retained;                     // by topic
    std::map<int, std::pair<std::string, uint64_t>> retainedInFlight;  // by message id: topic, version
    uint64_t retainedVersions = 0;
    bool freshRetained = false;  // a value came since the last look

    ~State() override {
        if (mosq) mosquitto_destroy(mosq);
    }

    int prepare(std::vector<curl_waitfd>* fds, int longestMs) override;
    bool service(const curl_waitfd* fds) override;
    void loopEnding() override;
    bool isClosing();
    void finish();
    void takeQueued();
    void connect();
    bool makeHandle();
    void publishRetained();
    bool retainedAcknowledged(int mid);
    void publishWaiting();
    void expire();
    void handleSocket(short revents);
    void drop(const std::string& reason);
    void fail(Outgoing& message, const std::string& reason);
    void sayGoodbye();
    int64_t pollTimeoutMs(int longestMs) const;

    static void onConnect(mosquitto*, void* self, int code);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onDisconnect(mosquitto*, void* self, int code);
};

void MqttConnection::State::onConnect(mosquitto*, void* self, int code) {
    auto* state = static_cast<State*>(self);
    if (code != 0) {
        state->lostReason = std::string("broker refused the connection: ") + mosquitto_connack_string(code);
        return;
    }
    state->link = Link::Up;
    state->backoffMs = kFirstBackoffMs;
    state->downReported = false;
    logf(Log::Always, "notifyMqtt, receiver %s: connected to %s\n", state->receiver.c_str(),
         state->address.brokerText().c_str());
    if (!testMessageRun())
        mosquitto_publish(state->mosq, nullptr, state->statusTopic.c_str(), 6, "online", 1, true);
}

void MqttConnection::State::onPublish(mosquitto*, void* self, int mid) {
    auto* state = static_cast<State*>(self);
    if (state->retainedAcknowledged(mid)) return;
    auto found = state->unacknowledged.find(mid);
    if (found == state->unacknowledged.end()) return;  // the status message
    settle(found->second.delivery, true);
    state->unacknowledged.erase(found);
}

void MqttConnection::State::onDisconnect(mosquitto*, void* self, int code) {
    auto* state = static_cast<State*>(self);
    if (state->lostReason.empty())
        state->lostReason = std::string("connection lost: ") + mosquitto_strerror(code);
}

bool MqttConnection::State::makeHandle() {
    if (mosq) mosquitto_destroy(mosq);
    mosq = mosquitto_new(nullptr, true, this);
    if (!mosq) return false;
    mosquitto_connect_callback_set(mosq, &onConnect);
    mosquitto_publish_callback_set(mosq, &onPublish);
    mosquitto_disconnect_callback_set(mosq, &onDisconnect);
    if (!address.user.empty())
        mosquitto_username_pw_set(mosq, address.user.c_str(),
                                  address.password.empty() ? nullptr : address.password.c_str());
    // A test message's connection is not the running Zentok's: its status
    // and last will stay the running one's.
    if (!testMessageRun()) mosquitto_will_set(mosq, statusTopic.c_str(), 7, "offline", 1, true);
    if (address.tls) {
        std::string trusted = caFile();
        if (!trusted.empty())
            mosquitto_tls_set(mosq, trusted.c_str(), nullptr, nullptr, nullptr, nullptr);
        else
            mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
    return true;
}

void MqttConnection::State::connect() {
    lastAttemptMs = nowMs();
    lostReason.clear();
    // Not blocking: a TCP connect that hangs holds no other receiver up; the
    // CONNACK limit ends it. The name lookup still happens here.
    int code = makeHandle()
                   ? mosquitto_connect_async(mosq, address.host.c_str(), address.port, kKeepAliveSeconds)
                   : MOSQ_ERR_NOMEM;
    if (code == MOSQ_ERR_SUCCESS) {
        link = Link::Connecting;
        connackDeadlineMs = nowMs() + kConnackLimitMs;
        return;
    }
    drop(std::string("cannot connect: ") +
         (code == MOSQ_ERR_ERRNO ? errorText(errno) : mosquitto_strerror(code)));
}

void MqttConnection::State::fail(Outgoing& message, const std::string& reason) {
    logf(Log::Always, "notifyMqtt, receiver %s, err '%s', broker '%s'\n", receiver.c_str(), reason.c_str(),
         address.brokerText().c_str());
    settle(message.delivery, false);
}

// Everything not acknowledged fails; the next attempt follows the back-off.
void MqttConnection::State::drop(const std::string& reason) {
    bool wasUp = link != Link::Down;
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    link = Link::Down;
    for (auto& entry : unacknowledged) fail(entry.second, reason);
    unacknowledged.clear();
    for (Outgoing& message : waiting) fail(message, reason);
    waiting.clear();
    // Retained values are kept: the next connection publishes them.
    retainedInFlight.clear();
    for (auto& entry : retained) {
        entry.second.sentVersion = 0;
        entry.second.work.reset();
    }
    // One line per outage when nothing was waiting to say it.
    if (!downReported && (wasUp || lastAttemptMs > 0))
        logf(Log::Always, "notifyMqtt, receiver %s: %s, broker '%s', next attempt in %d s\n",
             receiver.c_str(), reason.c_str(), address.brokerText().c_str(), backoffMs / 1000);
    downReported = true;
    nextAttemptMs = nowMs() + backoffMs;
    backoffMs = std::min(backoffMs * 2, kLongestBackoffMs);
}

void MqttConnection::State::takeQueued() {
    std::lock_guard<std::mutex> lock(mutex);
    while (!queue.empty()) {
        waiting.push_back(std::move(queue.front()));
        queue.pop_front();
    }
    for (RetainedUpdate& update : retainedQueue) {
        RetainedValue& value = retained[update.topic];
        value.payload = std::move(update.payload);
        value.version = ++retainedVersions;
        value.work.emplace(std::move(update.work));
        freshRetained = true;
    }
    retainedQueue.clear();
}

void MqttConnection::State::publishRetained() {
    for (auto it = retained.begin(); it != retained.end();) {
        RetainedValue& value = it->second;
        if (value.sentVersion == value.version) {
            ++it;
            continue;
        }
        int mid = 0;
        int code = mosquitto_publish(mosq, &mid, it->first.c_str(), static_cast<int>(value.payload.size()),
                                     value.payload.data(), 1, true);
        if (code != MOSQ_ERR_SUCCESS) {
            // The library refuses only what it can never send: said once, not tried again.
            logf(Log::Always, "notifyMqtt, receiver %s, err 'publish refused: %s', topic '%s'\n",
                 receiver.c_str(), mosquitto_strerror(code), it->first.c_str());
            it = retained.erase(it);
            continue;
        }
        value.sentVersion = value.version;
        retainedInFlight[mid] = {it->first, value.version};
        ++it;
    }
}

// A PUBACK of a retained value: the value is done unless a newer one came.
bool MqttConnection::State::retainedAcknowledged(int mid) {
    auto sent = retainedInFlight.find(mid);
    if (sent == retainedInFlight.end()) return false;
    auto value = retained.find(sent->second.first);
    if (value != retained.end() && value->second.version == sent->second.second) retained.erase(value);
    retainedInFlight.erase(sent);
    return true;
}

void MqttConnection::State::publishWaiting() {
    while (!waiting.empty()) {
        Outgoing message = std::move(waiting.front());
        waiting.pop_front();
        int mid = 0;
        int code =
            mosquitto_publish(mosq, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                              message.payload.data(), 1, message.retain);
        if (code != MOSQ_ERR_SUCCESS) {
            fail(message, std::string("publish refused: ") + mosquitto_strerror(code));
            continue;
        }
        message.deadlineMs = nowMs() + gAckLimitMs.load();
        unacknowledged.emplace(mid, std::move(message));
    }
}

void MqttConnection::State::expire() {
    int64_t now = nowMs();
    if (link == Link::Connecting && now >= connackDeadlineMs) {
        drop("no CONNACK within " + std::to_string(kConnackLimitMs / 1000) + " s");
        return;
    }
    for (auto it = unacknowledged.begin(); it != unacknowledged.end();) {
        if (now < it->second.deadlineMs) {
            ++it;
            continue;
        }
        fail(it->second, "no PUBACK within " + std::to_string(gAckLimitMs.load()) + " ms");
        it = unacknowledged.erase(it);
    }
}

int64_t MqttConnection::State::pollTimeoutMs(int longestMs) const {
    int64_t timeout = longestMs;
    if (link == Link::Down && !waiting.empty()) timeout = std::max<int64_t>(0, nextAttemptMs - nowMs());
    return std::min<int64_t>(timeout, longestMs);
}

void MqttConnection::State::handleSocket(short revents) {
    int code = MOSQ_ERR_SUCCESS;
    if (revents & (CURL_WAIT_POLLIN | CURL_WAIT_POLLPRI)) code = mosquitto_loop_read(mosq, 1);
    if (code == MOSQ_ERR_SUCCESS && (revents & CURL_WAIT_POLLOUT)) code = mosquitto_loop_write(mosq, 1);
    if (code == MOSQ_ERR_SUCCESS) code = mosquitto_loop_misc(mosq);
    if (code == MOSQ_ERR_SUCCESS || !lostReason.empty()) return;
    int error = errno;
    // A connect still under way that fails never had a connection to lose.
    bool connecting =
        link == Link::Connecting && code == MOSQ_ERR_ERRNO &&
        (error == ECONNREFUSED || error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH);
    lostReason = std::string(connecting ? "cannot connect: " : "connection lost: ") +
                 (code == MOSQ_ERR_ERRNO ? errorText(error) : mosquitto_strerror(code));
}

// A clean end: the retained status says so, since a DISCONNECT keeps the
// broker from publishing the will.
void MqttConnection::State::sayGoodbye() {
    if (link != Link::Up || !mosq) return;
    if (goodbye && !testMessageRun())
        mosquitto_publish(mosq, nullptr, statusTopic.c_str(), 7, "offline", 1, true);
    mosquitto_disconnect(mosq);
    for (int i = 0; i < 10 && mosquitto_want_write(mosq); ++i) mosquitto_loop_write(mosq, 1);
}

bool MqttConnection::State::isClosing() {
    std::lock_guard<std::mutex> lock(mutex);
    return closing;
}

// Deliveries still open stay open, for the outbox to keep.
void MqttConnection::State::finish() {
    sayGoodbye();
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    link = Link::Down;
    unacknowledged.clear();
    waiting.clear();
    retained.clear();
    retainedInFlight.clear();
    std::lock_guard<std::mutex> lock(mutex);
    queue.clear();
    retainedQueue.clear();
    finished = true;
    finishedSignal.notify_all();
}

int MqttConnection::State::prepare(std::vector<curl_waitfd>* fds, int longestMs) {
    if (isClosing()) return 0;
    if (lastAttemptMs == 0 && nextAttemptMs == 0) nextAttemptMs = nowMs();
    takeQueued();
    // A publish that finds the connection down asks for an attempt soon.
    if (link == Link::Down && (!waiting.empty() || freshRetained))
        nextAttemptMs = std::min(nextAttemptMs, lastAttemptMs + kPromptAttemptMs);
    freshRetained = false;
    if (link == Link::Down && nowMs() >= nextAttemptMs) connect();
    // The states first: a subscriber that sees a notice finds its node's state set.
    if (link == Link::Up) {
        publishRetained();
        publishWaiting();
    }
    int sock = mosq && link != Link::Down ? mosquitto_socket(mosq) : -1;
    // Always one entry, so service finds its own at a fixed place.
    curl_waitfd watched{};
    watched.fd = sock;
    if (sock >= 0)
        watched.events =
            static_cast<short>(CURL_WAIT_POLLIN | (mosquitto_want_write(mosq) ? CURL_WAIT_POLLOUT : 0));
    else
        watched.fd = -1;
    fds->push_back(watched);
    return static_cast<int>(pollTimeoutMs(longestMs));
}

bool MqttConnection::State::service(const curl_waitfd* fds) {
    if (isClosing()) {
        finish();
        return false;
    }
    if (fds[0].fd >= 0 && mosq && link != Link::Down) handleSocket(fds[0].revents);
    if (breakRequested.exchange(false) && mosq && link != Link::Down)
        shutdown(mosquitto_socket(mosq), SHUT_RDWR);
    if (!lostReason.empty()) drop(lostReason);
    expire();
    return true;
}

// The sender's thread ends: a connection that is closing says its goodbye
// now; the others wait for the thread's next start.
void MqttConnection::State::loopEnding() {
    if (isClosing()) finish();
}

namespace {

// The open connections by receiver and address, so a reload's channel
// takes the open connection over.
std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<std::string, std::weak_ptr<MqttConnection>>& registry() {
    static std::map<std::string, std::weak_ptr<MqttConnection>> connections;
    return connections;
}

std::string registryKey(const MqttAddress& address, const std::string& receiver) {
    return receiver + '\n' + address.brokerText() + '\n' + address.topic + '\n' + address.user + '\n' +
           address.password;
}

}  // namespace

std::shared_ptr<MqttConnection> MqttConnection::open(const MqttAddress& address,
                                                     const std::string& receiver) {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto& connections = registry();
    for (auto it = connections.begin(); it != connections.end();)
        it = it->second.expired() ? connections.erase(it) : std::next(it);
    std::weak_ptr<MqttConnection>& known = connections[registryKey(address, receiver)];
    if (std::shared_ptr<MqttConnection> open = known.lock()) return open;
    std::shared_ptr<MqttConnection> made = start(address, receiver);
    known = made;
    return made;
}

MqttConnection::~MqttConnection() {
    std::vector<std::shared_ptr<MqttConnection>> others;  // let go only after the registry's lock
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        for (auto& entry : registry())
            if (std::shared_ptr<MqttConnection> other = entry.second.lock())  // never this one: it is going
                others.push_back(std::move(other));
    }
    for (const auto& other : others)
        if (other->state_->address.brokerText() == state_->address.brokerText() &&
            other->state_->statusTopic == state_->statusTopic)
            state_->goodbye = false;
    close();
}

std::shared_ptr<MqttConnection> MqttConnection::start(const MqttAddress& address,
                                                      const std::string& receiver) {
    initLibraryOnce();
    auto state = std::make_shared<State>();
    state->address = address;
    state->receiver = receiver;
    state->statusTopic = address.topic + "/status";
    if (!sender().attach(state)) return nullptr;
    return std::shared_ptr<MqttConnection>(new MqttConnection(state));
}

bool MqttConnection::publish(std::string topic, std::string payload, bool retain, DeliveryHandle delivery) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->closing) return false;
        state_->queue.push_back(
            Outgoing{std::move(topic), std::move(payload), retain, std::move(delivery), state_->ticket(), 0});
    }
    sender().wake();
    return true;
}

void MqttConnection::keepRetained(std::string topic, std::string payload) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->closing) return;
        state_->retainedQueue.push_back(
            RetainedUpdate{std::move(topic), std::move(payload), state_->ticket()});
    }
    sender().wake();
}

void MqttConnection::close() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->finished) return;
        state_->closing = true;
    }
    // A sender that was shut down starts again for the goodbye.
    if (!sender().wake()) return;
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->finishedSignal.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                    [this] { return state_->finished; });
}

void MqttConnection::breakForTesting() {
    state_->breakRequested = true;
    sender().wake();
}

void setMqttAckLimitForTesting(int ms) {
    gAckLimitMs = ms > 0 ? ms : kAckLimitMs;
}

void setMqttCaFileForTesting(const std::string& caFile) {
    std::lock_guard<std::mutex> lock(gCaFileMutex);
    gCaFile = caFile;
}
