// The uplinks a configuration names (the SMTP relay, the server manager and
// the Telegram Bot API) and the few process-wide switches of a run.
#pragma once

#include <memory>

constexpr int kSettingSize = 101;  // at most 100 characters

// What the uplink lines of one configuration say. The parser fills the
// configuration's own copy; each channel holds it from when it is built, so
// loading another file (a refused reload among them) cannot change what the
// running channels send through.
struct Uplinks {
    char srvmgrHost[kSettingSize] = {};
    char smtpUrl[kSettingSize] = {};
    char smtpUser[kSettingSize] = {};
    char smtpPassword[kSettingSize] = {};
    char smtpFrom[kSettingSize] = {};
    // How a mail server's TLS is checked: empty, "cafile:PATH" or "trusted-relay".
    char smtpTls[kSettingSize] = {};
    // The Telegram bot's token and the Bot API's base URL (empty: the public API).
    char telegramToken[kSettingSize] = {};
    char telegramApiBase[kSettingSize] = {};
    // The smstools spool folder of "uplink;sms;smstools;SPOOLDIR"; empty: none.
    char smsSpool[kSettingSize] = {};
};
using UplinksHandle = std::shared_ptr<const Uplinks>;

// One shared set with no uplink: what a channel built outside a configuration sends through.
UplinksHandle noUplinks();

// Set by "zentok test": the channels send the test message, but leave alone
// what a running Zentok keeps on a server for its subscribers (the MQTT
// status and last will, a node's retained state).
void setTestMessageRun(bool testRun);
bool testMessageRun();

// The project's own web address, shown in the banner and in mail footers.
extern const char* const kMakerAddress;
