// Process-wide uplink settings.
#include "base/Settings.h"

#include <atomic>

ProcessSettings gProcessSettings{};

char (&srvmgrHost)[kSettingSize] = gProcessSettings.srvmgrHost;
char (&smtpUrl)[kSettingSize] = gProcessSettings.smtpUrl;
char (&smtpUser)[kSettingSize] = gProcessSettings.smtpUser;
char (&smtpPassword)[kSettingSize] = gProcessSettings.smtpPassword;
char (&smtpFrom)[kSettingSize] = gProcessSettings.smtpFrom;
char (&smtpTls)[kSettingSize] = gProcessSettings.smtpTls;
char (&twitterToken)[kSettingSize] = gProcessSettings.twitterToken;
char (&twitterTokenSecret)[kSettingSize] = gProcessSettings.twitterTokenSecret;
char (&telegramToken)[kSettingSize] = gProcessSettings.telegramToken;
char (&telegramApiBase)[kSettingSize] = gProcessSettings.telegramApiBase;

const char* const kMakerAddress = "https://zentok.example.org";

void clearProcessSettings() {
    gProcessSettings = ProcessSettings{};
}

namespace {

bool gChannelsOffline = false;

}  // namespace

ProcessSettings saveProcessSettings() {
    return gProcessSettings;
}

void restoreProcessSettings(const ProcessSettings& saved) {
    gProcessSettings = saved;
}

void setChannelsOffline(bool offline) {
    gChannelsOffline = offline;
}
bool channelsOffline() {
    return gChannelsOffline;
}

namespace {
std::atomic<bool> gTestMessageRun{false};
}  // namespace

void setTestMessageRun(bool testRun) {
    gTestMessageRun = testRun;
}
bool testMessageRun() {
    return gTestMessageRun;
}
