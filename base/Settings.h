// Settings that live outside the Coupler: the SMTP and server-manager uplinks
// and the Twitter access token. Every Coupler construction clears them.
#pragma once

constexpr int kSettingSize = 101;  // at most 100 characters

extern char srvmgrHost[kSettingSize];
extern char smtpUrl[kSettingSize];
extern char smtpUser[kSettingSize];
extern char smtpPassword[kSettingSize];
extern char smtpFrom[kSettingSize];
// How a mail server's TLS is checked: empty, "cafile:PATH" or "trusted-relay".
extern char smtpTls[kSettingSize];
extern char twitterToken[kSettingSize];
extern char twitterTokenSecret[kSettingSize];
// The Telegram bot's token and the Bot API's base URL (empty: the public API).
extern char telegramToken[kSettingSize];
extern char telegramApiBase[kSettingSize];

void clearProcessSettings();

// A copy of all of the above. A reload that is refused builds a Coupler (which
// clears them) and then gives the running configuration its own back.
struct ProcessSettings {
    char values[9][kSettingSize];
};
ProcessSettings saveProcessSettings();
void restoreProcessSettings(const ProcessSettings& saved);

// Set by the configuration check: the channels are built as at a start, but
// none of them contacts its server. Not cleared by a Coupler construction.
void setChannelsOffline(bool offline);
bool channelsOffline();

// Set by "zentok test": the channels send the test message, but leave alone
// what a running Zentok keeps on a server for its subscribers (the MQTT
// status and last will, a node's retained state).
void setTestMessageRun(bool testRun);
bool testMessageRun();

// The project's own web address, shown in the banner and in mail footers.
extern const char* const kMakerAddress;
