// The alarm state machine of one node. Armed, it waits for the condition to
// hold through the on-delay; raised, it waits for the value to be back past
// the clear level through the off-delay, reminding while it waits. Like a
// node without an alarm line, it clears only once its raise has gone out.
#include "trigger/Alarm.h"

#include <cstdio>

#include "base/Records.h"

namespace {

// Gone for good, not only below the threshold: with a clear level the
// value must be back past it, so a level hovering at its limit stays raised.
bool conditionGone(const Node& node, bool holds) {
    if (holds) return false;
    const AlarmSettings& settings = node.alarm;
    if (!settings.hasClearLevel) return true;
    if (node.trigger.kind == ConditionKind::Over) return node.value < settings.clearLevel;
    if (node.trigger.kind == ConditionKind::Under) return node.value > settings.clearLevel;
    return true;
}

AlarmEvent stepArmed(Node* node, bool holds, int64_t now) {
    AlarmState& state = node->alarmState;
    state.offSince = 0;
    if (!holds) {
        state.onSince = 0;
        return AlarmEvent::None;
    }
    // A clock set back must not hold the delay off for as long as it went back.
    if (state.onSince == 0 || state.onSince > now) state.onSince = now;
    if (now - state.onSince < node->alarm.onDelaySeconds) return AlarmEvent::None;
    state = AlarmState{};
    node->active = true;
    node->sent = false;
    node->triggerTime = now;
    return AlarmEvent::Raise;
}

AlarmEvent remindIfDue(Node* node, int64_t now) {
    const AlarmSettings& settings = node->alarm;
    AlarmState& state = node->alarmState;
    if (settings.remindSeconds <= 0) return AlarmEvent::None;
    // Somebody is on it: an acknowledged episode is not reminded of.
    if (node->acknowledged()) return AlarmEvent::None;
    if (settings.remindMax > 0 && state.reminders >= settings.remindMax) return AlarmEvent::None;
    int64_t last = state.remindedAt != 0 ? state.remindedAt : node->triggerTime;
    if (now - last < settings.remindSeconds && now >= last) return AlarmEvent::None;
    state.reminders++;
    state.remindedAt = now;
    state.reminderDue = true;
    return AlarmEvent::Reminder;
}

AlarmEvent stepRaised(Node* node, bool holds, int64_t now) {
    AlarmState& state = node->alarmState;
    state.onSince = 0;
    // The raise has not gone out yet: nothing to clear or remind of.
    if (!node->sent) return AlarmEvent::None;
    if (!conditionGone(*node, holds)) {
        state.offSince = 0;
        return remindIfDue(node, now);
    }
    if (state.offSince == 0 || state.offSince > now) state.offSince = now;
    if (now - state.offSince < node->alarm.offDelaySeconds) return remindIfDue(node, now);
    int64_t episode = node->triggerTime;
    state = AlarmState{};
    state.clearedEpisode = episode;
    node->active = false;
    node->sent = false;
    node->triggerTime = 0;
    return AlarmEvent::Clear;
}

}  // namespace

AlarmEvent stepAlarm(Node* node, bool holds, int64_t now) {
    if (!node || !node->alarm.enabled) return AlarmEvent::None;
    return node->active ? stepRaised(node, holds, now) : stepArmed(node, holds, now);
}

void formatAlarmDuration(char* out, int capacity, int64_t seconds) {
    if (!out || capacity <= 0) return;
    if (seconds < 0) seconds = 0;
    long long s = seconds;
    if (s < 60)
        std::snprintf(out, static_cast<size_t>(capacity), "%llds", s);
    else if (s < 3600)
        std::snprintf(out, static_cast<size_t>(capacity), "%lldm %02llds", s / 60, s % 60);
    else if (s < 86400)
        std::snprintf(out, static_cast<size_t>(capacity), "%lldh %02lldm", s / 3600, s % 3600 / 60);
    else
        std::snprintf(out, static_cast<size_t>(capacity), "%lldd %02lldh", s / 86400, s % 86400 / 3600);
}
