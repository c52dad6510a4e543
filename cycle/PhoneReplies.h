// Acknowledgements from the phone: what a reply asks for, read from a
// button's data or a text, and which receivers offer the buttons. The
// coupler applies them (Coupler::servePhoneReplies) as `zentok ack` does.
#pragma once

#include <cstdint>
#include <string>

class Coupler;
struct Node;
struct Notification;
struct Receiver;

// Marks the notification for buttons when its receiver takes replies.
void offerReplies(Coupler& coupler, const Receiver& receiver, Notification* notification);

// What a reply asks for: acknowledge or shelve a node, named by its label,
// and for a button the episode it was pressed under (0: the current one).
struct PhoneAsk {
    enum class Action { Ack, Shelve };
    Action action = Action::Ack;
    int64_t episode = 0;
    std::string node;  // empty: the button named only the episode
};

// A button's data ("ack EPISODE [LABEL]", "shelve EPISODE [LABEL]"). False
// for anything else: nothing in it is trusted beyond its form.
bool readButtonData(const std::string& data, PhoneAsk* ask);
// A text: "/ack TAG" (also "/ack@bot TAG"), or "ACK TAG" in any case. False
// for any other text.
bool readAckText(const std::string& text, PhoneAsk* ask);

// A reply that was turned down: on the console and in the journal, with who,
// how and why (`node` null when it named none).
void journalPhoneRefusal(Coupler& coupler, const Node* node, const std::string& what);

// The replies in the SMS spool's incoming folder, and the final outcomes of
// the messages sent through it (cycle/SmsReplies.cpp).
void serveSmsSpool(Coupler& coupler);

// The code an ntfy acknowledgement of `label`'s episode must carry: 8
// characters of an HMAC under the secret kept in the states file, so a
// public topic's readers can neither guess nor reuse one for another episode.
std::string ntfyReplyCode(Coupler& coupler, const std::string& label, int64_t episode);

// The replies published to the ntfy receivers' reply topics (cycle/NtfyReplies.cpp).
void serveNtfyReplies(Coupler& coupler);
// Lets the polls still running go at the end of a run.
void endNtfyPolls();
