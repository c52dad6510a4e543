// The configuration file: ";"-separated lines led by a keyword, read once per
// load into a fresh Coupler.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/Coupler.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/Text.h"

namespace {

constexpr int kLineSize = 5001;  // lines of up to 5000 characters; longer ones are split

bool is(const char* field, const char* keyword) {
    return equalsIgnoreCase(field, keyword);
}

// State of one parse.
struct ParseState {
    char section[kNameSize] = {};  // keyword of the section the next lines belong to
    SourceEntry* source = nullptr;
    Node* node = nullptr;
    Receiver* receiver = nullptr;
};

class ConfigParser {
  public:
    explicit ConfigParser(Coupler& coupler) : c_(coupler) {}

    void processLine(char* line) {
        // A line longer than the buffer comes in pieces, all of one line number.
        if (lineEnded_) ++lineNumber_;
        lineEnded_ = std::strchr(line, '\n') != nullptr;
        if (line[0] == '#') return;
        char* cursor = line;
        char* keyword = nextToken(&cursor, ";");
        if (!keyword) return;
        if (is(keyword, "coupler"))
            couplerLine(cursor);
        else if (is(keyword, "source"))
            sourceLine(keyword, cursor);
        else if (is(keyword, "adr"))
            adrLine(line, cursor);
        else if (is(keyword, "node") || is(keyword, "info"))
            nodeLine(keyword, cursor);
        else if (is(keyword, "receiver"))
            receiverLine(keyword, cursor);
        else if (is(keyword, "dir"))
            dirLine(line, cursor);
        else if (is(keyword, "uplink"))
            uplinkLine(cursor);
        else if (is(keyword, "set"))
            setLine(cursor);
        else if (is(keyword, "scale"))
            scaleLine(line, cursor);
    }

  private:
    void error(const char* message) {
        c_.iniError = true;
        std::printf("%s", message);
    }

    void lineError(const std::string& message) {
        c_.iniError = true;
        std::printf("*** ini error: line %d: %s\n", lineNumber_, message.c_str());
    }

    void ignored(const char* line) { std::printf("*** line ignored '%s'\n", line); }

    bool inSection(const char* keyword) const { return is(s_.section, keyword); }

    void couplerLine(char* cursor) {
        char setting[kNameSize];
        char* field = nextToken(&cursor, ";");
        if (!field) return;
        copyText(setting, field);
        char* value = nextToken(&cursor, ";");
        if (!value) return;
        if (is(setting, "runmode")) {
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
            int seconds = parseInt(value);
            if (seconds >= 0) c_.retrySeconds = seconds;
        } else if (is(setting, "readinterval")) {
            int seconds = parseInt(value);
            if (seconds >= 0) c_.readInterval = seconds;
        } else if (is(setting, "loglevel")) {
            int level = parseInt(value);
            if (level < 1) level = 0;
            if (level > 9) level = 9;
            c_.logLevel = level;
            setLogLevel(level);  // takes effect at once, also for the rest of this load
        }
    }

    void sourceLine(const char* keyword, char* cursor) {
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

    void adrLine(const char* line, char* cursor) {
        if (inSection("source")) {
            if (!s_.source) return;
            char* type = nextToken(&cursor, ";");
            if (!type) return;
            copyText(s_.source->type, type);
            char* parameters = nextToken(&cursor, ";");
            if (parameters) copyText(s_.source->parameters, parameters);
            readUnitId(*s_.source);
        } else if (inSection("receiver")) {
            // The channel gets the rest of the line exactly as written.
            if (s_.receiver) s_.receiver->setAddress(cursor);
        } else {
            ignored(line);
        }
    }

    void nodeLine(const char* keyword, char* cursor) {
        if (c_.nodeCount >= kMaxNodes) {
            error("*** ini error: nodes over limit\n");
            return;
        }
        copyText(s_.section, keyword);
        s_.node = nullptr;  // until this line has all its fields
        Node& node = c_.nodes[c_.nodeCount];
        node.source = c_.sourceCount > 0 ? &c_.sources[c_.sourceCount - 1] : nullptr;
        node.info = is(keyword, "info") ? 1 : 0;
        char* form = nextToken(&cursor, ";");
        if (!form || !is(form, "a")) return;
        char* address = nextToken(&cursor, ";");
        if (!address) return;
        copyText(node.address, address);
        readValueType(node);
        char* message = nextToken(&cursor, ";");
        if (!message) return;
        copyText(node.message, message);
        char* group = nextToken(&cursor, ";");
        if (!group) return;
        node.dir = c_.findDir(group, true);
        char* condition = nextToken(&cursor, ";");
        if (!condition) return;
        copyText(node.condition, condition);
        s_.node = &node;
        c_.nodeCount++;
    }

    // "tcp:address:port:unit": the unit identifier of a Modbus device behind a gateway.
    void readUnitId(SourceEntry& source) {
        if (!source.readUnitId())
            lineError(std::string("unit id in '") + source.parameters + "' is not a number from 0 to 255");
    }

    // "DB10.DBD8:REAL", "400011:FLOAT32:CDAB": the type behind the address,
    // checked against the address and the protocol of the node's source.
    void readValueType(Node& node) {
        std::string why;
        if (!node.readValueType(&why)) lineError(why);
    }

    // "scale;FACTOR;OFFSET" after a node line: value = raw x factor + offset.
    void scaleLine(const char* line, char* cursor) {
        if (!(inSection("node") || inSection("info")) || !s_.node) return ignored(line);
        char* factorText = nextToken(&cursor, ";");
        char* offsetText = nextToken(&cursor, ";");
        double factor = 0.0;
        double offset = 0.0;
        if (!factorText || !readDecimal(factorText, &factor) ||
            (offsetText && *offsetText && !readDecimal(offsetText, &offset)))
            return lineError("scale needs a factor and an offset that are decimal numbers (scale;0.1;-40)");
        if (factor == 0.0) return lineError("scale factor 0 would make every value the offset");
        if (equalsIgnoreCase(s_.node->address, "!OFFLINE")) return lineError("!OFFLINE takes no scale");
        s_.node->scaled = true;
        s_.node->scaleFactor = factor;
        s_.node->scaleOffset = offset;
    }

    // A whole field that is a finite decimal number.
    static bool readDecimal(const char* text, double* out) {
        char* end = nullptr;
        *out = std::strtod(text, &end);
        return end != text && *end == 0 && std::isfinite(*out) &&
               std::strspn(text, "+-.0123456789eE") == std::strlen(text);
    }

    void receiverLine(const char* keyword, char* cursor) {
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

    void dirLine(const char* line, char* cursor) {
        if (!inSection("receiver")) {
            ignored(line);
            return;
        }
        if (!s_.receiver) return;
        char* group = nextToken(&cursor, ";");
        if (!group) return;
        DirEntry* dir = c_.findDir(group, true);
        if (dir) c_.findLink(s_.receiver, dir, true);
    }

    void uplinkLine(char* cursor) {
        char* kind = nextToken(&cursor, ";");
        if (!kind) return;
        if (is(kind, "smtp")) {
            char* targets[] = {smtpUrl, smtpUser, smtpPassword, smtpFrom};
            for (char* target : targets) {
                char* field = nextToken(&cursor, ";");
                if (!field) return;
                copyText(target, kSettingSize, field);
            }
        } else if (is(kind, "srvmgr")) {
            char* host = nextToken(&cursor, ";");
            if (host) copyText(srvmgrHost, kSettingSize, host);
        }
    }

    void setLine(char* cursor) {
        char* setting = nextToken(&cursor, ";");
        if (!setting || !is(setting, "readinterval")) return;
        char* value = nextToken(&cursor, ";");
        if (!value) return;
        int seconds = parseInt(value);
        if (inSection("node") && s_.node)
            s_.node->readInterval = seconds;
        else if (inSection("source") && s_.source)
            s_.source->readInterval = seconds;
    }

    Coupler& c_;
    ParseState s_;
    int lineNumber_ = 0;
    bool lineEnded_ = true;
};

void printCantOpen(const char* path) {
    std::printf("*** ini file '%s': can't open\n", path);
}

bool later(const struct timespec& now, int64_t seconds, long nanos) {
    return static_cast<int64_t>(now.tv_sec) > seconds ||
           (static_cast<int64_t>(now.tv_sec) == seconds && now.tv_nsec > nanos);
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
    return later(status.st_mtim, cfgStat.modificationTime, cfgStat.modificationNanos) ||
           later(status.st_atim, cfgStat.accessTime, cfgStat.accessNanos) ||
           differs(status.st_ctim, cfgStat.changeTime, cfgStat.changeNanos);
}

void Coupler::loadConfig(const char* path) {
    if (path && std::strlen(path) >= sizeof cfgName) {
        // A path that does not fit is refused rather than cut, so no other file is read.
        cfgName[0] = 0;
        cfgStat = ConfigStat{};
        printCantOpen(path);
        return;
    }
    copyText(cfgName, path);
    parseConfig();
}

void Coupler::parseConfig() {
    cfgStat = ConfigStat{};
    if (!cfgName[0]) {
        std::printf("*** ini file: no name given, use -i filename\n");
        return;
    }
    FILE* file = std::fopen(cfgName, "r");
    struct stat status {};
    if (file && (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode))) {
        std::fclose(file);
        file = nullptr;
    }
    if (!file) {
        // A file that is there but cannot be read is tried again once a
        // second; saying so once per failure is enough.
        cfgUnreadable = stat(cfgName, &status) == 0;
        if (reportCantOpen) printCantOpen(cfgName);
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
    while (std::fgets(line, sizeof line, file)) parser.processLine(line);
    int64_t bytesRead = static_cast<int64_t>(std::ftell(file));
    std::fclose(file);

    // The access time is taken after reading, so the program's own reading of
    // the file does not count as a change.
    if (stat(cfgName, &status) == 0) {
        cfgStat.accessTime = static_cast<int64_t>(status.st_atim.tv_sec);
        cfgStat.accessNanos = status.st_atim.tv_nsec;
        // The size of what was read, not of what the file holds by now.
        cfgStat.size = bytesRead;
    }
    prepareTemplates();
}
