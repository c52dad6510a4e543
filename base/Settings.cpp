// Process-wide uplink settings.
#include "base/Settings.h"

#include <atomic>
#include <cstring>
#include <iterator>

char srvmgrHost[kSettingSize];
char smtpUrl[kSettingSize];
char smtpUser[kSettingSize];
char smtpPassword[kSettingSize];
char smtpFrom[kSettingSize];
char smtpTls[kSettingSize];
char twitterToken[kSettingSize];
char twitterTokenSecret[kSettingSize];
char telegramToken[kSettingSize];
char telegramApiBase[kSettingSize];

const char* const kMakerAddress = "https://zentok.example.org";

void clearProcessSettings() {
    srvmgrHost[0] = smtpUrl[0] = smtpUser[0] = smtpPassword[0] = smtpFrom[0] = smtpTls[0] = 0;
    twitterToken[0] = twitterTokenSecret[0] = 0;
    telegramToken[0] = telegramApiBase[0] = 0;
}

namespace {

bool gChannelsOffline = false;

char* const kAllSettings[] = {srvmgrHost,         smtpUrl,       smtpUser,
                              smtpPassword,       smtpFrom,      twitterToken,
                              twitterTokenSecret, telegramToken, telegramApiBase};

}  // namespace

ProcessSettings saveProcessSettings() {
    ProcessSettings saved{};
    for (size_t i = 0; i < std::size(kAllSettings); ++i)
        std::memcpy(saved.values[i], kAllSettings[i], kSettingSize);
    return saved;
}

void restoreProcessSettings(const ProcessSettings& saved) {
    for (size_t i = 0; i < std::size(kAllSettings); ++i)
        std::memcpy(kAllSettings[i], saved.values[i], kSettingSize);
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
