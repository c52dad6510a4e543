// The configuration file: ";"-separated lines led by a keyword, read once per
// load into a fresh Coupler.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/CycleOffset.h"
#include "cycle/Ladder.h"
#include "notify/SmsText.h"
#include "notify/UrlScheme.h"
#include "notify/channels/MailChannel.h"
#include "notify/channels/SrvMgrChannel.h"
#include "notify/channels/TelegramChannel.h"
#include "sources/NodeAddress.h"
#include "sources/SourceConnection.h"
#include "sources/modbus/ModbusEndpoint.h"
#include "trigger/AlarmSettings.h"
#include "trigger/DutyWindow.h"
#include "trigger/Trigger.h"

namespace {

constexpr int kLineSize = 5001;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr int kMostFloodMessages = 10000;  // lines of up to 5000 characters; longer ones are split

bool is(const char* field, const char* keyword) {
    return equalsIgnoreCase(field, keyword);
}

// The protocol a node's address is read by; none for a node before any source.
const char* sourceTypeOf(const Node& node) {
    return node.source ? node.source->type : "";
}

// A "bit;INDEX;TEXT[;0]" line, kept until the word's address is read.
struct BitLine {
    int word = 0;  // the word's entry in the node table
    int index = 0;
    bool whenZero = false;  // the alarm is active while the bit is 0
    int line = 0;
    std::string text;
};

// State of one parse.
struct ParseState {
    char section[kNameSize] = {};  // keyword of the section the next lines belong to
    SourceEntry* source = nullptr;
    Node* node = nullptr;
    Receiver* receiver = nullptr;
    int lineNumber = 0;                                        // of the line being processed
    bool inSecrets = false;                                    // the lines come from the secrets file
    std::vector<int> nodeLines = std::vector<int>(kMaxNodes);  // the line each node came from
    std::vector<BitLine> bits;

    // After a line that leads no known section: no source, node or receiver
    // for the lines that follow.
    void leaveSection() {
        section[0] = 0;
        source = nullptr;
        node = nullptr;
        receiver = nullptr;
    }
};

bool isPortNumber(const char* text) {
    if (!text || !*text) return false;
    long port = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (port <= 65535) port = port * 10 + (*p - '0');
    }
    return port >= 1 && port <= 65535;
}

// clang-format off
const char* const kCouplerSettings[] = {"runmode", "rehashtime", "readinterval", "loglevel",  "retry",
                                        "metrics", "heartbeat",  "journal",      "maxshelve", "secrets",
                                        "statuspage", "cycleoffset"};
// clang-format on
constexpr int kMostHeartbeatSeconds = 7 * 24 * 3600;
constexpr int kMostSettingSeconds = 365 * 24 * 3600;  // a year: longer is a typing error
constexpr int kMostJournalFiles = 100;

// A word as a warning shows it: without the line end (a blank line leaves
// only that) and cut at 40 characters.
std::string shownWord(const char* word) {
    return std::string(word, std::min<size_t>(std::strcspn(word, "\r\n"), 40));
}

bool isCouplerSetting(const char* setting) {
    for (const char* known : kCouplerSettings)
        if (is(setting, known)) return true;
    return false;
}

class ConfigParser {
  public:
    explicit ConfigParser(Coupler& coupler) : c_(coupler) {}

    // `number` is the line's number in the file; the pieces of an overlong line share it.
    void processLine(char* line, int number);

  private:
    // Every line kind: the keyword that leads it and the member that reads it
    // from the whole line (for messages), its keyword and the fields behind it.
    struct LineKind {
        const char* keyword;
        void (ConfigParser::*read)(char* line, const char* keyword, char* cursor);
    };
    static const LineKind kLineKinds[];

    // What a start passes over in silence and the check warns of.
    void unknown(const std::string& what) { c_.faults.push_back({s_.lineNumber, FaultKind::Unknown, what}); }

    // `message` is the whole console line, "*** ini error: " and all.
    void error(const char* message) {
        std::string text = message;
        const std::string head = "*** ini error: ";
        if (text.compare(0, head.size(), head) == 0) text.erase(0, head.size());
        while (!text.empty() && text.back() == '\n') text.pop_back();
        c_.faults.push_back({s_.lineNumber, FaultKind::Fatal, text});
        logf(Log::Always, "%s", message);
    }

    // A channel's address the channel cannot use, named with its line. Like
    // every line error it fails the check; a start says it and runs, and the
    // channel refuses to send while its address is at fault.
    void addressError(const std::string& fault) {
        if (!fault.empty()) lineError(s_.lineNumber, fault);
    }

    void ignored(const char* line) { logf(Log::Always, "*** line ignored '%s'\n", line); }

    // A line that cannot work as written. The check ends with a configuration
    // error; a start says it once and runs with the rest, as it always did,
    // so a site that ran yesterday is still monitored after an upgrade.
    void lineError(int number, const std::string& what) {
        c_.faults.push_back({number, FaultKind::LineError, what});
        logf(Log::Always, "*** ini error: line %d: %s\n", number, what.c_str());
    }

    // A value type, scale or unit id that cannot be read as written. Unlike
    // the line errors above these are new forms no running site has, so a
    // start ends as the check does instead of reading values it would
    // misread.
    void valueError(int number, const std::string& what) {
        c_.faults.push_back({number, FaultKind::Fatal, what});
        logf(Log::Always, "*** ini error: line %d: %s\n", number, what.c_str());
    }

    bool inSection(const char* keyword) const { return is(s_.section, keyword); }

    void couplerLine(char*, const char*, char* cursor) {
        char setting[kNameSize];
        char* field = nextToken(&cursor, ";");
        if (!field) return;
        std::string word = shownWord(field);
        if (!word.empty() && !isCouplerSetting(word.c_str()))
            unknown("unknown setting 'coupler;" + word + "'");
        copyText(setting, field);
        char* value = nextToken(&cursor, ";");
        if (is(setting, "journal")) return journalSetting(value, cursor);
        // A duration left out is a mistake to name, not a setting to skip.
        char none[] = "";
        if (!value && (is(setting, "retry") || is(setting, "readinterval") || is(setting, "maxshelve") ||
                       is(setting, "cycleoffset")))
            value = none;
        if (!value) return;
        if (is(setting, "secrets")) return secretsSetting(value);
        if (is(setting, "metrics")) {
            c_.metricsPath = value;
        } else if (is(setting, "statuspage")) {
            c_.statusPagePath = value;
        } else if (is(setting, "heartbeat")) {
            heartbeatSetting(value, cursor);
        } else if (is(setting, "runmode")) {
            if (is(value, "cycle"))
                c_.runMode = RunMode::Cycle;
            else if (is(value, "single"))
                c_.runMode = RunMode::Single;
            else if (is(value, "trigger"))
                c_.runMode = RunMode::Trigger;
            else
                error("*** ini error: runmode\n");
        } else if (is(setting, "rehashtime")) {
            int minutes = parseInt(value);
            if (minutes >= 1 && minutes <= 1440) c_.rehashTime = minutes * 60;
        } else if (is(setting, "retry")) {
            durationSetting("retry", value, &c_.retrySeconds);
        } else if (is(setting, "readinterval")) {
            durationSetting("readinterval", value, &c_.readInterval);
        } else if (is(setting, "maxshelve")) {
            int seconds = parseAlarmDuration(value);
            if (seconds < 1) return alarmError("maxshelve needs a duration from 1 s to 7 days, as 8h");
            c_.maxShelveSeconds = seconds;
        } else if (is(setting, "cycleoffset")) {
            cycleOffsetSetting(value);
        } else if (is(setting, "loglevel")) {
            int level = parseInt(value);
            if (level < 1) level = 0;
            if (level > 9) level = 9;
            c_.logLevel = level;  // the run applies it once the load is accepted
        }
    }

    // cycleoffset;auto or cycleoffset;MS: how far into its interval each
    // cycle starts, so the couplers of one host do not all wake, and ask
    // their devices, at the same turn of the second. "auto" takes it from the
    // configuration file's absolute name once the whole file is read (the
    // read interval may follow): fixed for an instance, different between
    // instances.
    void cycleOffsetSetting(const char* value) {
        if (is(value, "auto")) {
            c_.cycleOffsetAuto = true;
            return;
        }
        char* end = nullptr;
        long ms = std::strtol(value, &end, 10);
        if (end == value || *end || ms < 0 || ms > 999)
            return lineError(s_.lineNumber,
                             "cycleoffset needs auto or a number of milliseconds from 0 to 999");
        c_.cycleOffsetMs = static_cast<int>(ms);
    }

    // A duration in seconds or with its unit ("90", "30s", "10m", "1h"); a
    // value that cannot be read whole keeps the setting as it was and is a
    // line error, so "1h" is never taken for one second.
    void durationSetting(const char* name, const char* value, int* target) {
        int64_t seconds = parseDuration(value, kMostSettingSeconds);
        if (seconds < 0)
            return lineError(s_.lineNumber, std::string(name) +
                                                " needs a duration, as 30, 30s, 10m or 1h, not '" +
                                                shownWord(value) + "'");
        *target = static_cast<int>(seconds);
    }

    // coupler;secrets;PATH: configuration lines kept apart from this file, in
    // a file only the service may read (passwords and tokens of uplink and adr
    // lines), read as if they stood in place of this line. Under systemd,
    // LoadCredential= hands the service a copy named after the file's base
    // name in $CREDENTIALS_DIRECTORY, which is read instead. The operator's
    // commands that neither send nor need a secret pass over it.
    void secretsSetting(const char* path) {
        if (c_.skipSecrets) return;
        if (s_.inSecrets) return lineError(s_.lineNumber, "a secrets file cannot name another secrets file");
        std::string file = credentialCopyOf(path);
        FILE* secrets = std::fopen(file.c_str(), "r");
        if (!secrets) {
            valueError(s_.lineNumber, "secrets file '" + file + "' cannot be read: " + errorText(errno));
            return;
        }
        // Messages about its lines name this line, which names the file.
        int number = s_.lineNumber;
        s_.inSecrets = true;
        char line[kLineSize];
        while (std::fgets(line, sizeof line, secrets)) processLine(line, number);
        s_.inSecrets = false;
        std::fclose(secrets);
    }

    static std::string credentialCopyOf(const char* path) {
        const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
        if (!credentials || !*credentials) return path;
        const char* slash = std::strrchr(path, '/');
        std::string copy = std::string(credentials) + "/" + (slash ? slash + 1 : path);
        struct stat status {};
        return stat(copy.c_str(), &status) == 0 ? copy : path;
    }

    // coupler;heartbeat;URL;SECONDS
    void heartbeatSetting(const char* url, char* cursor) {
        char* period = nextToken(&cursor, ";");
        int64_t seconds = period ? parseDuration(period, kMostHeartbeatSeconds) : 0;
        std::string fault = schemeFault("heartbeat", url, {"http", "https"});
        if (!fault.empty()) return lineError(s_.lineNumber, fault);
        if (seconds < 1)
            return lineError(
                s_.lineNumber,
                "heartbeat needs a duration from 1 s to 7 days, as coupler;heartbeat;URL;60 or 1m");
        c_.heartbeatUrl = url;
        c_.heartbeatSeconds = static_cast<int>(seconds);
    }

    // coupler;journal[;NAME[;MAXBYTES;KEEP]]: the journal is kept only with this line.
    void journalSetting(const char* name, char* cursor) {
        char* most = nextToken(&cursor, ";");
        char* keep = most ? nextToken(&cursor, ";") : nullptr;
        int64_t bytes = most && *most ? std::strtoll(most, nullptr, 10) : kJournalDefaultMaxBytes;
        int files = keep && *keep ? parseInt(keep) : kJournalDefaultKeep;
        if (bytes < 1024 || files < 0 || files > kMostJournalFiles)
            return lineError(s_.lineNumber, "journal needs at least 1024 bytes a file and 0 to " +
                                                std::to_string(kMostJournalFiles) +
                                                " kept files, as coupler;journal;" + kJournalDefaultName +
                                                ";10485760;5");
        c_.journalName = name && *name ? name : kJournalDefaultName;
        c_.journalMaxBytes = bytes;
        c_.journalKeep = files;
    }

    void sourceLine(char*, const char* keyword, char* cursor) {
        copyText(s_.section, keyword);
        if (c_.sourceCount >= kMaxSources) {
            s_.source = nullptr;  // the lines that follow belong to no source
            error("*** ini error: source over limit\n");
            return;
        }
        char* name = nextToken(&cursor, ";");
        if (!name) {
            s_.source = nullptr;
            return;
        }
        SourceEntry& entry = c_.sources[c_.sourceCount];
        copyText(entry.name, name);
        char* pass = nextToken(&cursor, ";");
        if (pass) copyText(entry.pass, pass);
        s_.source = &entry;
        c_.sourceCount++;
    }

    void adrLine(char* line, const char*, char* cursor) {
        if (inSection("source")) {
            if (!s_.source) return;
            char* type = nextToken(&cursor, ";");
            if (!type) return;
            copyText(s_.source->type, type);
            if (!isKnownSourceType(type))
                lineError(s_.lineNumber,
                          "unknown source type '" + std::string(type) + "' (modbus or simatic)");
            char* parameters = nextToken(&cursor, ";");
            if (parameters) {
                copyText(s_.source->parameters, parameters);
                if (!isSerialLink(*s_.source)) checkPort(parameters);
            }
            readUnitId(*s_.source);
        } else if (inSection("receiver")) {
            // The channel gets the rest of the line exactly as written.
            if (s_.receiver) receiverAddress(cursor);
        } else {
            ignored(line);
        }
    }

    // Both connection kinds take "kind:host:port": a port that is no number
    // would be read as 0 and never connect.
    void checkPort(const char* parameters) {
        char text[kNameSize];
        copyText(text, parameters);
        char* cursor = text;
        nextToken(&cursor, ":");
        nextToken(&cursor, ":");
        char* port = nextToken(&cursor, ":");
        if (port && !isPortNumber(port))
            lineError(s_.lineNumber, "port '" + std::string(port) + "' is not a number from 1 to 65535");
    }

    void receiverAddress(char* rest) {
        std::string copy = rest ? rest : "";
        char* cursor = &copy[0];
        char* channel = nextToken(&cursor, ";");
        char* address = channel ? nextToken(&cursor, ";") : nullptr;
        ChannelKind kind = ChannelKind::ServerManager;
        if (channel && channelKindNamed(channel, &kind) && kind == ChannelKind::Mail &&
            (!address || !*address))
            lineError(s_.lineNumber, "receiver '" + std::string(s_.receiver->name) + "': empty mail address");
        // A channel that refuses its address says why; the line is named here.
        addressError(s_.receiver->setAddress(rest));
    }

    void nodeLine(char*, const char* keyword, char* cursor) {
        if (c_.nodeCount >= kMaxNodes) {
            error("*** ini error: nodes over limit\n");
            return;
        }
        copyText(s_.section, keyword);
        s_.node = nullptr;  // until this line has all its fields
        Node& node = c_.freeNode();
        node.source = c_.sourceCount > 0 ? &c_.sources[c_.sourceCount - 1] : nullptr;
        node.info = is(keyword, "info") ? 1 : 0;
        char* form = nextToken(&cursor, ";");
        if (!form || !is(form, "a")) {
            lineError(s_.lineNumber, "the second field of a " + std::string(keyword) +
                                         " line must be 'a', not '" + (form ? form : "") + "'");
            return;
        }
        int fields = 2;
        char* address = nextToken(&cursor, ";");
        if (address) {
            ++fields;
            copyText(node.address, address);
        }
        char* message = address ? nextToken(&cursor, ";") : nullptr;
        if (message) {
            ++fields;
            copyText(node.message, kMessageSize, message);
            checkPlaceholders(node.message.c_str());
        }
        char* group = message ? nextToken(&cursor, ";") : nullptr;
        if (group) {
            ++fields;
            node.dir = c_.findDir(group, true);
        }
        char* condition = group ? nextToken(&cursor, ";") : nullptr;
        if (condition) {
            ++fields;
            copyText(node.condition, condition);
        }
        // A stray quote swallows the separators behind it, so it shows as a field count too.
        if (fields != 6 || cursor)
            lineError(s_.lineNumber, "a " + std::string(keyword) + " line has 6 fields (" + keyword +
                                         ";a;address;message;group;condition), this one has " +
                                         (cursor ? "more" : std::to_string(fields)));
        if (!condition) return;
        // Read once, here: the trigger evaluates the typed condition.
        if (const char* problem = readCondition(node.condition, &node.trigger))
            lineError(
                s_.lineNumber,
                problem == kDecimalCommaProblem
                    ? "condition '" + std::string(node.condition) + "': " + decimalPointHint(node.condition)
                    : "condition '" + std::string(node.condition) + "' can never hold: " + problem);
        s_.nodeLines[c_.nodeCount] = s_.lineNumber;
        s_.node = &node;
        c_.nodeCount++;
    }

    // "tcp:address:port:unit": the unit identifier of a Modbus device behind a
    // gateway; the RTU forms' faults (unit, baud rate, format) are new forms,
    // so they end a start as a bad unit id does.
    void readUnitId(SourceEntry& source) {
        source.readUnitId();
        if (!equalsIgnoreCase(source.type, "modbus") || !source.parameters[0]) return;
        ModbusEndpoint endpoint = parseModbusEndpoint(source.parameters);
        if (endpoint.problem.empty()) return;
        if (endpoint.problemIsFatal)
            valueError(s_.lineNumber, endpoint.problem);
        else
            lineError(s_.lineNumber, endpoint.problem);
    }

    // "rtu:device:baud:format:unit" has a baud rate where the others have a port.
    static bool isSerialLink(const SourceEntry& source) {
        return equalsIgnoreCase(source.type, "modbus") &&
               parseModbusEndpoint(source.parameters).framing == ModbusFraming::RtuSerial;
    }

    // "scale;FACTOR;OFFSET" after a node line: value = raw x factor + offset.
    void scaleLine(char* line, const char*, char* cursor) {
        if (!(inSection("node") || inSection("info")) || !s_.node) return ignored(line);
        char* factorText = nextToken(&cursor, ";");
        char* offsetText = nextToken(&cursor, ";");
        double factor = 0.0;
        double offset = 0.0;
        if (hasDecimalComma(factorText) || hasDecimalComma(offsetText)) {
            std::string written = std::string("scale;") + factorText;
            if (offsetText) written += std::string(";") + offsetText;
            return valueError(s_.lineNumber, written + ": " + decimalPointHint(written));
        }
        if (!factorText || !readDecimal(factorText, &factor) ||
            (offsetText && *offsetText && !readDecimal(offsetText, &offset)))
            return valueError(s_.lineNumber,
                              "scale needs a factor and an offset that are decimal numbers (scale;0.1;-40)");
        if (factor == 0.0)
            return valueError(s_.lineNumber, "scale factor 0 would make every value the offset");
        if (equalsIgnoreCase(s_.node->address, "!OFFLINE"))
            return valueError(s_.lineNumber, "!OFFLINE takes no scale");
        s_.node->scaled = true;
        s_.node->scaleFactor = factor;
        s_.node->scaleOffset = offset;
    }

    // "tag;NAME" right after a node names it for the operator, the status
    // and every notice. A name is a word an operator can type on a phone:
    // letters, digits, '_', '-' and '.', unique in the file.
    void tagLine(char* line, const char*, char* cursor) {
        if (!(inSection("node") || inSection("info")) || !s_.node) return ignored(line);
        char* name = nextToken(&cursor, ";");
        std::string why = tagProblem(name);
        if (why.empty() && cursor) why = "a tag line has 2 fields (tag;NAME)";
        if (why.empty() && s_.node->tag[0])
            why = "node '" + std::string(s_.node->address) + "' has a tag already";
        if (why.empty())
            for (int i = 0; i < c_.nodeCount; ++i)
                if (&c_.nodes[i] != s_.node && equalsIgnoreCase(c_.nodes[i].tag, name))
                    why = "tag '" + std::string(name) + "' names another node already";
        if (!why.empty()) return lineError(s_.lineNumber, why);
        copyText(s_.node->tag, name);
    }

    // "bit;INDEX;TEXT[;0]" after a node whose address ends in ":BITS": that
    // bit of the word is an alarm of its own, with TEXT as its message. The
    // word's type is known only once its source's type is, so the bit
    // becomes a node after the whole file is read (addWordBits).
    void bitLine(char* line, const char*, char* cursor) {
        if (!(inSection("node") || inSection("info")) || !s_.node) return ignored(line);
        char* index = nextToken(&cursor, ";");
        char* text = index ? nextToken(&cursor, ";") : nullptr;
        char* level = text ? nextToken(&cursor, ";") : nullptr;
        const char* digits = index ? index : "";
        bool number =
            *digits && std::strspn(digits, "0123456789") == std::strlen(digits) && std::strlen(digits) <= 2;
        if (!number || !text || cursor || (level && *level && std::strcmp(level, "0") != 0))
            return lineError(s_.lineNumber,
                             "a bit line has 3 or 4 fields (bit;INDEX;TEXT or bit;INDEX;TEXT;0)");
        if (std::strlen(text) >= static_cast<size_t>(kMessageSize))
            return lineError(s_.lineNumber, "the text of bit " + std::string(index) + " is longer than " +
                                                std::to_string(kMessageSize - 1) + " characters");
        int word = static_cast<int>(s_.node - c_.nodes.data());
        int bit = parseInt(index);
        for (const BitLine& earlier : s_.bits)
            if (earlier.word == word && earlier.index == bit)
                return lineError(s_.lineNumber, "a second line for bit " + std::to_string(bit) +
                                                    " of node '" + s_.node->address + "'");
        checkPlaceholders(text);
        s_.bits.push_back({word, bit, level != nullptr && *level, s_.lineNumber, text});
    }

    static std::string tagProblem(const char* name) {
        if (!name || !*name) return "a tag line names the node (tag;NAME)";
        size_t length = std::strlen(name);
        if (length >= static_cast<size_t>(kTagSize))
            return "tag '" + shownWord(name) + "' is longer than " + std::to_string(kTagSize - 1) +
                   " characters";
        for (size_t i = 0; i < length; ++i) {
            unsigned char c = static_cast<unsigned char>(name[i]);
            if (!std::isalnum(c) && c != '_' && c != '-' && c != '.')
                return "tag '" + shownWord(name) + "' may hold only letters, digits, '_', '-' and '.'";
        }
        return "";
    }

    // What to say of a number written with a decimal comma, which would be
    // read only up to the comma.
    static std::string decimalPointHint(const std::string& written) {
        std::string corrected = written;
        std::replace(corrected.begin(), corrected.end(), ',', '.');
        return "write a decimal point, not a comma, as " + corrected;
    }

    // A whole field that is a finite decimal number.
    static bool readDecimal(const char* text, double* out) {
        char* end = nullptr;
        *out = std::strtod(text, &end);
        return end != text && *end == 0 && std::isfinite(*out) &&
               std::strspn(text, "+-.0123456789eE") == std::strlen(text);
    }

    void receiverLine(char*, const char* keyword, char* cursor) {
        copyText(s_.section, keyword);
        s_.receiver = nullptr;  // dir and adr lines of a failed receiver line do nothing
        if (c_.receiverCount >= kMaxReceivers) {
            error("*** ini error: receiver over limit\n");
            return;
        }
        char* name = nextToken(&cursor, ";");
        if (!name) return;
        Receiver& receiver = c_.receivers[c_.receiverCount];
        copyText(receiver.name, name);
        s_.receiver = &receiver;
        c_.receiverCount++;
    }

    void dirLine(char* line, const char*, char* cursor) {
        if (!inSection("receiver")) {
            ignored(line);
            return;
        }
        if (!s_.receiver) return;
        char* group = nextToken(&cursor, ";");
        if (!group) return;
        char* option = nextToken(&cursor, ";");
        DirEntry* dir = c_.findDir(group, true);
        Link* link = dir ? c_.findLink(s_.receiver, dir, true) : nullptr;
        if (!option || !*option) return;
        // "dir;GROUP;acknowledged": this receiver also hears who acknowledged an alarm of the group.
        if (!is(option, "acknowledged")) return unknown("unknown setting 'dir;" + shownWord(option) + "'");
        if (link) link->acknowledged = true;
    }

    // allow;ID[,ID...][;shelve]: after a receiver's address line, who may
    // acknowledge through its channel.
    void allowLine(char* line, const char*, char* cursor) {
        if (!inSection("receiver")) return ignored(line);
        if (!s_.receiver) return;
        Receiver& receiver = *s_.receiver;
        bool sms = receiver.channelKind == ChannelKind::Sms;
        if (receiver.channelKind != ChannelKind::Telegram && !sms)
            return addressError("allow: only a telegram or sms receiver takes acknowledgements back");
        char* list = nextToken(&cursor, ";");
        char* option = list ? nextToken(&cursor, ";") : nullptr;
        receiver.allowed.clear();
        char* ids = list;
        for (char* id = ids ? nextToken(&ids, ",") : nullptr; id; id = nextToken(&ids, ",")) {
            std::string text = id;
            text.erase(0, text.find_first_not_of(' '));
            text.erase(text.find_last_not_of(' ') + 1);
            if (sms ? !isPhoneNumber(text)
                    : text.empty() || text.size() > 20 ||
                          text.find_first_not_of("0123456789") != std::string::npos)
                return addressError("allow: '" + shownWord(id) + "' is no " +
                                    (sms ? "phone number" : "Telegram user id"));
            // A number is compared without its "+", as a received message's sender is.
            receiver.allowed.push_back(sms && text[0] == '+' ? text.substr(1) : text);
        }
        if (receiver.allowed.empty()) return addressError("allow needs at least one user id");
        receiver.allowShelve = option && is(option, "shelve");
        if (option && *option && !receiver.allowShelve)
            unknown("unknown setting 'allow;...;" + shownWord(option) + "'");
    }

    // reply;TOPIC: after an ntfy receiver's address line, the topic on the
    // same server its acknowledge button publishes to.
    void replyLine(char* line, const char*, char* cursor) {
        if (!inSection("receiver")) return ignored(line);
        if (!s_.receiver) return;
        if (s_.receiver->channelKind != ChannelKind::Ntfy)
            return addressError("reply: only an ntfy receiver has a reply topic");
        char* topic = nextToken(&cursor, ";");
        std::string text = topic ? topic : "";
        if (text.empty() || text.size() > 64 ||
            text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") !=
                std::string::npos)
            return addressError("reply: '" + shownWord(text.c_str()) +
                                "' is no ntfy topic (letters, digits, - and _)");
        s_.receiver->replyTopic = text;
    }

    // escalate;GROUP;DELAY;SECOND_GROUP
    void escalateLine(char*, const char*, char* cursor) {
        char* group = nextToken(&cursor, ";");
        char* delay = group ? nextToken(&cursor, ";") : nullptr;
        char* second = delay ? nextToken(&cursor, ";") : nullptr;
        int seconds = delay ? parseAlarmDuration(delay) : -1;
        if (!second || !*group || !*second || seconds < 1)
            return alarmError(
                "escalate needs a group, a delay from 1 s to 7 days and a second group, "
                "as escalate;shift;15m;lead");
        if (equalsIgnoreCase(group, second)) return alarmError("escalate to the same group it comes from");
        DirEntry* from = c_.findDir(group, true);
        DirEntry* to = c_.findDir(second, true);
        // The group table is full, so no node or receiver names that group:
        // a misspelled name, which the check reports like any unknown group.
        if (!from || !to)
            return unknown("escalate from group '" + shownWord(group) + "' to '" + shownWord(second) +
                           "': unknown group '" + shownWord(from ? second : group) +
                           "', no node or receiver names it");
        for (int i = 0; i < c_.escalationCount; ++i)
            if (c_.escalations[i].from == from)
                return alarmError("a second escalate line for group " + std::string(group));
        if (ladderOf(c_, from))
            return alarmError("group " + std::string(group) + " has an escalate line and a ladder: keep one");
        if (c_.escalationCount >= kMaxDirs) return alarmError("escalate: more lines than groups");
        c_.escalations[c_.escalationCount++] = Escalation{from, to, seconds};
    }

    // ladder;GROUP;DELAY:GROUP2[,GROUP3];...[;DELAY:repeat:COUNT]
    void ladderLine(char*, const char*, char* cursor) {
        char* group = nextToken(&cursor, ";");
        if (!group || !*group)
            return alarmError(
                "ladder needs a group and its steps, as ladder;shift;0:shift;5m:lead;30m:repeat:3");
        DirEntry* from = c_.findDir(group, true);
        if (!from)
            return unknown("ladder of group '" + shownWord(group) + "': unknown group '" + shownWord(group) +
                           "', no node or receiver names it");
        if (ladderOf(c_, from)) return alarmError("a second ladder line for group " + std::string(group));
        for (int i = 0; i < c_.escalationCount; ++i)
            if (c_.escalations[i].from == from)
                return alarmError("group " + std::string(group) +
                                  " has an escalate line and a ladder: keep one");
        if (c_.ladderCount >= kMaxDirs) return alarmError("ladder: more lines than groups");
        Ladder ladder;
        ladder.from = from;
        std::string fault = readLadderSteps(c_, cursor, &ladder);
        if (!fault.empty()) return alarmError(fault);
        c_.ladders[c_.ladderCount++] = ladder;
    }

    // when;GROUP;WINDOW[;WINDOW...]: the group is on duty in these windows only.
    void whenLine(char*, const char*, char* cursor) {
        char* group = nextToken(&cursor, ";");
        DirEntry* dir = group && *group ? c_.findDir(group, true) : nullptr;
        if (!dir)
            return lineError(s_.lineNumber,
                             "when needs a known group and its windows, as when;lead;Mon-Fri 07:00-17:00");
        DutyWeek& week = c_.duty[dir - c_.dirs];
        int windows = 0;
        while (char* window = nextToken(&cursor, ";")) {
            std::string fault = readDutyWindow(window, &week);
            if (!fault.empty()) return lineError(s_.lineNumber, "when;" + std::string(group) + ": " + fault);
            ++windows;
        }
        if (windows == 0)
            lineError(s_.lineNumber,
                      "when;" + std::string(group) + " names no window: it would never be on duty");
    }

    void drillLine(char*, const char*, char* cursor) {
        DrillLine drill;
        drill.line = s_.lineNumber;
        std::string fault = parseDrillLine(cursor, &drill);
        if (!fault.empty()) return lineError(s_.lineNumber, fault);
        c_.drills.lines.push_back(drill);
    }

    void uplinkLine(char*, const char*, char* cursor) {
        char* kind = nextToken(&cursor, ";");
        if (!kind) return;
        Uplinks& uplinks = *c_.uplinks;
        if (is(kind, "smtp")) {
            uplinks.smtpTls[0] = 0;  // optional: a line without it asks for the default
            char* targets[] = {uplinks.smtpUrl, uplinks.smtpUser, uplinks.smtpPassword, uplinks.smtpFrom,
                               uplinks.smtpTls};
            for (char* target : targets) {
                char* field = nextToken(&cursor, ";");
                if (!field) break;
                copyText(target, kSettingSize, field);
            }
            addressError(mailUplinkFault(uplinks));
        } else if (is(kind, "srvmgr")) {
            char* host = nextToken(&cursor, ";");
            if (host) copyText(uplinks.srvmgrHost, kSettingSize, host);
            if (host) addressError(srvMgrHostFault(uplinks));
        } else if (is(kind, "telegram")) {
            telegramUplinkLine(cursor);
        } else if (is(kind, "sms")) {
            // uplink;sms;smstools;SPOOLDIR: the one spool layout Zentok writes.
            char* layout = nextToken(&cursor, ";");
            char* folder = layout ? nextToken(&cursor, ";") : nullptr;
            if (!layout || !is(layout, "smstools") || !folder || !*folder)
                return addressError(
                    "uplink;sms needs smstools and the spool folder, as uplink;sms;smstools;/var/spool/sms");
            copyText(uplinks.smsSpool, kSettingSize, folder);
        } else if (*kind) {
            unknown("unknown setting 'uplink;" + shownWord(kind) + "'");
        }
    }

    // uplink;telegram;TOKEN[;API_BASE_URL]: a line without the URL asks for the public API.
    void telegramUplinkLine(char* cursor) {
        char* token = nextToken(&cursor, ";");
        char* base = token ? nextToken(&cursor, ";") : nullptr;
        Uplinks& uplinks = *c_.uplinks;
        copyText(uplinks.telegramToken, kSettingSize, token ? token : "");
        copyText(uplinks.telegramApiBase, kSettingSize, base ? base : "");
        addressError(telegramUplinkFault(uplinks));
    }

    void setLine(char*, const char*, char* cursor) {
        char* setting = nextToken(&cursor, ";");
        if (!setting) return;
        if (!is(setting, "readinterval")) {
            if (*setting) unknown("unknown setting 'set;" + shownWord(setting) + "'");
            return;
        }
        char* value = nextToken(&cursor, ";");
        if (!value) return;
        int* target = nullptr;
        if (inSection("node") && s_.node)
            target = &s_.node->readInterval;
        else if (inSection("source") && s_.source)
            target = &s_.source->readInterval;
        if (target) durationSetting("readinterval", value, target);
    }

    // Bad alarm settings end the program like the table limits do: an alarm
    // that runs with settings other than the ones written is worse than none.
    void alarmError(const std::string& what) { valueError(s_.lineNumber, what); }

    void alarmLine(char*, const char*, char* cursor) {
        if ((!inSection("node") && !inSection("info")) || !s_.node) {
            alarmError("an alarm line belongs right after the node line it is for");
            return;
        }
        if (s_.node->alarm.enabled) {
            alarmError("a second alarm line for node '" + std::string(s_.node->address) + "'");
            return;
        }
        std::string fault = parseAlarmLine(cursor, s_.node->condition, &s_.node->alarm);
        if (!fault.empty()) {
            s_.node->alarm = AlarmSettings{};
            alarmError(fault);
        }
        checkPlaceholders(s_.node->alarm.normal.c_str());
    }

    // A "{{%name}}" that is no alarm placeholder would show as {{NF}} in
    // every notice; its line is named at load instead.
    void checkPlaceholders(const char* text) {
        std::string name = Coupler::unknownPlaceholder(text);
        if (!name.empty())
            lineError(s_.lineNumber, "unknown placeholder '{{" + shownWord(name.c_str()) +
                                         "}}' ({{%state}}, {{%duration}} or {{%reminder}})");
    }

    // flood;MAX;SECONDS after a receiver.
    void floodLine(char*, const char*, char* cursor) {
        if (!inSection("receiver") || !s_.receiver) {
            alarmError("a flood line belongs right after the receiver it guards");
            return;
        }
        char* most = nextToken(&cursor, ";");
        char* window = most ? nextToken(&cursor, ";") : nullptr;
        int count = most ? parseInt(most) : 0;
        int seconds = window ? parseAlarmDuration(window) : -1;
        if (count < 1 || count > kMostFloodMessages || seconds < 1) {
            alarmError("flood needs a count from 1 to " + std::to_string(kMostFloodMessages) +
                       " and a window from 1 s to 7 days, as flood;10;10m");
            return;
        }
        s_.receiver->floodMax = count;
        s_.receiver->floodSeconds = seconds;
    }

    // discovery;PREFIX after an MQTT receiver: its nodes announced to Home
    // Assistant under PREFIX.
    void discoveryLine(char*, const char*, char* cursor) {
        if (!inSection("receiver") || !s_.receiver || s_.receiver->channelKind != ChannelKind::Mqtt)
            return lineError(s_.lineNumber,
                             "a discovery line belongs right after an mqtt receiver's address");
        char* prefix = nextToken(&cursor, ";");
        std::string text = prefix ? prefix : "";
        if (text.empty() || text.find_first_of("+#") != std::string::npos || text.front() == '/' ||
            text.back() == '/')
            return lineError(s_.lineNumber,
                             "discovery needs a topic prefix without + or # at either end, as "
                             "discovery;homeassistant");
        s_.receiver->discoveryPrefix = text;
    }

  public:
    // Node addresses are read once the whole file is read: the source's
    // type may be given after its nodes. Each becomes the typed device
    // address the reads use. "DB10.DBD8:REAL", "400011:FLOAT32:CDAB": the
    // type behind an address is taken here too and checked against the
    // address and its protocol; the address itself is checked without it.
    // A node whose address names nothing stays, and its reads fail and say so.
    void checkNodeAddresses() {
        for (int i = 0; i < c_.nodeCount; ++i) {
            Node& node = c_.nodes[i];
            std::string why;
            if (!readNodeAddress(sourceTypeOf(node), &node, &why)) {
                valueError(s_.nodeLines[i], why);
                continue;
            }
            if (!node.source || !isKnownSourceType(node.source->type)) continue;
            if (!isValidNodeAddress(node.device))
                lineError(s_.nodeLines[i], "address '" + std::string(node.address) + "' is no " +
                                               node.source->type + " address");
        }
    }

    // Each bit line becomes an entry of the node table behind the file's
    // nodes: "ADDRESS.INDEX", tagged "TAG.INDEX" when its word has a tag,
    // with the word's source, group, read interval and alarm line, and its
    // own message. Its value is the bit, taken from the word's read; the word
    // itself never notifies.
    void addWordBits() {
        c_.nodes.reserve(static_cast<size_t>(c_.nodeCount) + s_.bits.size() + 1);
        for (const BitLine& bit : s_.bits) {
            const int size = wordSize(c_.nodes[bit.word].valueType);
            if (size == 0) {
                lineError(bit.line, "a bit line belongs to a node whose address ends in :BITS, not to '" +
                                        std::string(c_.nodes[bit.word].address) + "'");
                continue;
            }
            if (bit.index >= size) {
                lineError(bit.line, "bit " + std::to_string(bit.index) + " is past the " +
                                        std::to_string(size) + " bits of '" + c_.nodes[bit.word].address +
                                        "' (0 to " + std::to_string(size - 1) + ")");
                continue;
            }
            Node& node = c_.freeNode();
            const Node& word = c_.nodes[bit.word];
            std::string suffix = "." + std::to_string(bit.index);
            if (std::strlen(word.address) + suffix.size() >= sizeof node.address) {
                lineError(bit.line, "address '" + std::string(word.address) + "' is too long for its bits");
                continue;
            }
            copyText(node.address, (word.address + suffix).c_str());
            if (word.tag[0]) copyText(node.tag, (word.tag + suffix).c_str());
            node.source = word.source;
            node.dir = word.dir;
            node.info = word.info;
            node.readInterval = word.readInterval;
            node.alarm = word.alarm;
            node.message = bit.text;
            node.wordEntry = bit.word;
            node.bit = bit.index;
            copyText(node.condition, bit.whenZero ? "Z" : "N");
            readCondition(node.condition, &node.trigger);
            ++c_.nodeCount;
        }
        // The word's own message is never sent: its bits are the alarms.
        for (int i = 0; i < c_.nodeCount; ++i) {
            Node& node = c_.nodes[i];
            if (wordSize(node.valueType) == 0) continue;
            node.trigger = Condition{};
            node.alarm.enabled = false;
        }
    }

  private:
    static int wordSize(ValueType type) {
        return type == ValueType::Bits16 ? 16 : type == ValueType::Bits32 ? 32 : 0;
    }

    Coupler& c_;
    ParseState s_;
};

// clang-format off
const ConfigParser::LineKind ConfigParser::kLineKinds[] = {
    {"coupler", &ConfigParser::couplerLine},   {"source", &ConfigParser::sourceLine},
    {"adr", &ConfigParser::adrLine},           {"node", &ConfigParser::nodeLine},
    {"info", &ConfigParser::nodeLine},         {"receiver", &ConfigParser::receiverLine},
    {"dir", &ConfigParser::dirLine},           {"uplink", &ConfigParser::uplinkLine},
    {"set", &ConfigParser::setLine},           {"scale", &ConfigParser::scaleLine},
    {"alarm", &ConfigParser::alarmLine},       {"flood", &ConfigParser::floodLine},
    {"escalate", &ConfigParser::escalateLine}, {"tag", &ConfigParser::tagLine},
    {"ladder", &ConfigParser::ladderLine},     {"when", &ConfigParser::whenLine},
    {"discovery", &ConfigParser::discoveryLine}, {"drill", &ConfigParser::drillLine},
    {"allow", &ConfigParser::allowLine},       {"reply", &ConfigParser::replyLine},
    {"bit", &ConfigParser::bitLine},
};
// clang-format on

void ConfigParser::processLine(char* line, int number) {
    s_.lineNumber = number;
    if (line[0] == '#') return;
    char* cursor = line;
    char* keyword = nextToken(&cursor, ";");
    if (!keyword) return;
    for (const LineKind& kind : kLineKinds)
        if (is(keyword, kind.keyword)) return (this->*kind.read)(line, keyword, cursor);
    std::string word = shownWord(keyword);
    if (word.empty()) return;
    unknown("unknown keyword '" + word + "'");
    // A misspelled keyword ("reciever") leads a section of its own: the adr,
    // dir, set and alarm lines behind it must not join the section before
    // and send its notices elsewhere. A line such as " #note" leads nothing.
    bool leadsASection = (keyword[0] >= 'a' && keyword[0] <= 'z') || (keyword[0] >= 'A' && keyword[0] <= 'Z');
    if (leadsASection) s_.leaveSection();
}

void printCantOpen(const char* path, int error) {
    logf(Log::Always, "*** ini file '%s': can't open: %s\n", path, errorText(error));
}

bool differs(const struct timespec& now, int64_t seconds, long nanos) {
    return static_cast<int64_t>(now.tv_sec) != seconds || now.tv_nsec != nanos;
}

}  // namespace

bool Coupler::configChanged() {
    struct stat status {};
    if (stat(cfgName, &status) != 0) return false;  // a removed file neither ends nor reloads
    if (cfgStat.size < 0) return true;              // nothing was read yet: any file is new
    if (static_cast<int64_t>(status.st_size) != cfgStat.size ||
        static_cast<uint64_t>(status.st_ino) != cfgStat.inode)
        return true;
    // A read is no change: the access time does not count, so neither an
    // administrator's cat nor the file system's own bookkeeping reloads.
    return differs(status.st_mtim, cfgStat.modificationTime, cfgStat.modificationNanos) ||
           differs(status.st_ctim, cfgStat.changeTime, cfgStat.changeNanos);
}

void Coupler::loadConfig(const char* path) {
    if (path && std::strlen(path) >= sizeof cfgName) {
        // A path that does not fit is refused rather than cut, so no other file is read.
        cfgName[0] = 0;
        cfgStat = ConfigStat{};
        cantOpenReason = ENAMETOOLONG;
        printCantOpen(path, cantOpenReason);
        return;
    }
    copyText(cfgName, path);
    parseConfig();
    if (cycleOffsetAuto) cycleOffsetMs = cycleOffsetFor(cfgName, readInterval);
    if (readInterval == 0) cycleOffsetMs = 0;  // the cycles follow each other
}

void Coupler::parseConfig() {
    cfgStat = ConfigStat{};
    if (!cfgName[0]) {
        logf(Log::Always, "*** ini file: no name given, use -i filename\n");
        return;
    }
    FILE* file = std::fopen(cfgName, "r");
    cantOpenReason = file ? 0 : errno;
    struct stat status {};
    if (file && (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode))) {
        std::fclose(file);
        file = nullptr;
        cantOpenReason = EISDIR;
    }
    if (!file) {
        // A file that is there but cannot be read is tried again once a
        // second; saying so once per failure is enough.
        cfgUnreadable = stat(cfgName, &status) == 0;
        if (reportCantOpen) printCantOpen(cfgName, cantOpenReason);
        return;
    }
    cfgStat.modificationTime = static_cast<int64_t>(status.st_mtim.tv_sec);
    cfgStat.modificationNanos = status.st_mtim.tv_nsec;
    // Taken at the open: a write during the reading moves it, so it reloads.
    cfgStat.changeTime = static_cast<int64_t>(status.st_ctim.tv_sec);
    cfgStat.changeNanos = status.st_ctim.tv_nsec;
    cfgStat.inode = static_cast<uint64_t>(status.st_ino);

    ConfigParser parser(*this);
    char line[kLineSize];
    int number = 1;
    bool head = true;
    while (std::fgets(line, sizeof line, file)) {
        bool ended = std::strchr(line, '\n') != nullptr;
        // Editors on Windows put a UTF-8 byte-order mark before the first keyword.
        char* text = head && std::strncmp(line, kByteOrderMark, 3) == 0 ? line + 3 : line;
        head = false;
        parser.processLine(text, number);
        if (ended) ++number;
    }
    parser.checkNodeAddresses();
    parser.addWordBits();
    int64_t bytesRead = static_cast<int64_t>(std::ftell(file));
    std::fclose(file);

    // The size of what was read, not of what the file holds by now.
    cfgStat.size = bytesRead;
    int configured = nodeCount;
    prepareTemplates();
    // A template may name a typed node ("{{400011:FLOAT32}}") that no line
    // configures; it is read with its type like a configured one.
    for (int i = configured; i < nodeCount; ++i) {
        std::string why;
        readNodeAddress(sourceTypeOf(nodes[i]), &nodes[i], &why);
    }
}
