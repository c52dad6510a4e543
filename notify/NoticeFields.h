// The fields of a notification as the webhook, MQTT and command channels
// give them to the outside: the same texts whichever channel carries them.
#pragma once

#include <cstdint>
#include <string>

#include "base/Alarm.h"
#include "notify/Notification.h"

// "2026-12-07T08:26:50+01:00": local time with its offset from UTC; empty
// when the time cannot be shown.
std::string isoLocalTime(int64_t when);

// The node's name as operators know it: its tag, or its address.
inline const std::string& nodeLabel(const Notification& notification) {
    return notification.tag.empty() ? notification.address : notification.tag;
}

// The moment a notice tells of: when its state changed (a clear's return to
// normal, a reminder's due time), for a raise the firing; 0 when not known.
inline int64_t noticeTime(const Notification& notification) {
    return notification.decidedAt > 0 ? notification.decidedAt : notification.triggerTime;
}

// What a channel's console line says of the notice: "text '...'" at its
// first attempt in this run, only "attempt N of the notice of TIME" (its
// state, when it tells one) once the text was printed.
std::string consoleText(const Notification& notification);

// The value as the file channel writes it (decimals for a scaled or REAL
// node, a whole number otherwise); empty for NaN and infinity.
std::string valueText(const Notification& notification);

// The alarm state a channel tells ("raised", "cleared", "reminder",
// "summary"), or null for a node without an "alarm" line, whose
// notifications are sent as they always were.
inline const char* noticeState(const Notification& notification) {
    return notification.state.empty() ? nullptr : notification.state.c_str();
}

// Whether the notification tells that notice of its alarm.
inline bool tellsNotice(const Notification& notification, AlarmNotice notice) {
    return notification.state == alarmNoticeName(notice);
}

// The JSON body of one notification: text and content (both the text, for
// the "text" and the "content" conventions of the chat services), source,
// node, value, time (of sending), trigger_time (when the episode's node
// fired) and event_time (when this notice's state changed), null when
// unknown, all local ISO 8601 with offset, receiver and kind.
std::string webhookBody(const Notification& notification, const char* receiverName, int64_t when);

// The retained state of a node as the MQTT channel publishes it:
// {"state":"active","source":..,"node":..,"value":..,"since":..,"text":..},
// "normal" for a back-to-normal notice; since is the episode's firing time
// (null when not known).
std::string nodeStateBody(const Notification& notification);
