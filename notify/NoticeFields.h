// The fields of a notification as the webhook, MQTT and command channels
// give them to the outside: the same texts whichever channel carries them.
#pragma once

#include <cstdint>
#include <string>

struct Node;

// "2026-12-07T08:26:50+01:00": local time with its offset from UTC; empty
// when the time cannot be shown.
std::string isoLocalTime(int64_t when);

// The node's value as the file channel writes it (decimals for a scaled or
// REAL node, a whole number otherwise); empty for NaN and infinity.
std::string valueText(const Node& node);

// The JSON body of one notification: text and content (both the text, for
// the "text" and the "content" conventions of the chat services), source,
// node, value, time (of sending) and trigger_time (when the node fired, null
// when unknown), both local ISO 8601 with offset, receiver and kind.
std::string webhookBody(const Node& node, const char* text, const char* receiverName, int64_t when);

// The retained state of a node as the MQTT channel publishes it:
// {"state":"active","source":..,"node":..,"value":..,"since":..,"text":..},
// "normal" for a back-to-normal notice; since is the episode's firing time
// (null when not known).
std::string nodeStateBody(const Node& node, const char* text);
