// One notification as a channel sees it: what fired, where, with which value
// and text. The dispatch step builds it from the outbox entry, so a channel
// needs neither the node table nor the source that read the value.
#pragma once

#include <cstdint>
#include <string>

enum class NotificationKind : uint8_t {
    Message,  // a "node" line: an alarm
    Info,     // an "info" line: a notice
};

struct Notification {
    std::string sourceName;
    std::string sourcePassword;  // the source's server-manager password; empty when none
    std::string address;         // the node address
    std::string tag;             // the node's tag ("tank_level"); empty when it has none
    double value = 0.0;          // the value when the node fired
    bool keepsDecimals = false;  // the value prints with its decimals (REAL, FLOAT32, scaled)
    NotificationKind kind = NotificationKind::Message;
    int64_t triggerTime = 0;  // when the node fired, the episode's raise (wall clock); 0 when not known
    // When this notice's state changed: the firing for a raise, the moment a
    // clear, reminder or operator's notice was decided; 0: the firing stands in.
    int64_t decidedAt = 0;
    std::string text;  // the expanded message template
    // The outbox's attempt of this notice, and whether an earlier attempt
    // of this run printed its text: a retry prints only its key, so a large
    // notice retried all night does not fill the console.
    int attempt = 0;
    bool textShown = false;
    // Left at these defaults by a plain firing; the alarm lifecycle fills
    // them once an alarm has more than one message per episode.
    std::string state;     // empty: a plain firing
    uint64_t episode = 0;  // 0: no episode
    // "stale" while the node's reads fail (the value is the last one read);
    // empty for a good value, so its bodies stay as they were.
    std::string quality;
    // The receiver takes acknowledgements back ("allow" line): a channel that
    // can carries buttons for them on an alarm's raise, reminders and
    // escalation, naming the node by `label()` (its tag, else its address).
    bool replyButtons = false;
    bool shelveButton = false;  // ... and one to shelve it for an hour
    // ntfy: the topic the button publishes the acknowledgement to, and the
    // episode's code it must carry.
    std::string replyTopic;
    std::string replyCode;

    // How the node is shown: its tag where it has one, else its address.
    const std::string& label() const { return tag.empty() ? address : tag; }
};
