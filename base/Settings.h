// Settings that live outside the Coupler: the SMTP and server-manager uplinks
// and the Twitter access token. Every Coupler construction clears them.
#pragma once

constexpr int kSettingSize = 101;  // at most 100 characters

// Every process-wide setting lives in this one struct, so a copy of it is a
// copy of all of them: a setting added here cannot be missed when a refused
// reload gives the running configuration its own settings back.
struct ProcessSettings {
    char srvmgrHost[kSettingSize];
    char smtpUrl[kSettingSize];
    char smtpUser[kSettingSize];
    char smtpPassword[kSettingSize];
    char smtpFrom[kSettingSize];
    // How a mail server's TLS is checked: empty, "cafile:PATH" or "trusted-relay".
    char smtpTls[kSettingSize];
    char twitterToken[kSettingSize];
    char twitterTokenSecret[kSettingSize];
    // The Telegram bot's token and the Bot API's base URL (empty: the public API).
    char telegramToken[kSettingSize];
    char telegramApiBase[kSettingSize];
};
extern ProcessSettings gProcessSettings;

// The names every channel and the parser use, each a member of the struct above.
extern char (&srvmgrHost)[kSettingSize];
extern char (&smtpUrl)[kSettingSize];
extern char (&smtpUser)[kSettingSize];
extern char (&smtpPassword)[kSettingSize];
extern char (&smtpFrom)[kSettingSize];
extern char (&smtpTls)[kSettingSize];
extern char (&twitterToken)[kSettingSize];
extern char (&twitterTokenSecret)[kSettingSize];
extern char (&telegramToken)[kSettingSize];
extern char (&telegramApiBase)[kSettingSize];

void clearProcessSettings();

// A refused reload builds a Coupler (which clears the settings) and then
// gives the running configuration its own back.
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
