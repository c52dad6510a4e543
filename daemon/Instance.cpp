// Finding the instance an operator's command is for.
#include "daemon/Instance.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "cycle/Coupler.h"
#include "cycle/OperatorRequest.h"
#include "daemon/CommandLine.h"

namespace {

constexpr const char* kUnitConfigFolder = "/etc/zentok/";

bool takesValue(const std::string& option) {
    return option == "-i" || option == "--by" || option == "--note";
}

}  // namespace

bool isOperatorCommand(const char* word) {
    for (const char* command : {"ack", "shelve", "unshelve", "status", "test"})
        if (std::strcmp(word, command) == 0) return true;
    return false;
}

OperatorArguments readOperatorArguments(int argc, char** argv) {
    OperatorArguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (takesValue(argument)) {
            if (i + 1 >= argc) {
                arguments.error = argument + " needs a value";
                break;
            }
            std::string value = argv[++i];
            if (argument == "-i") arguments.config = value;
            if (argument == "--by") arguments.by = value;
            if (argument == "--note") arguments.note = value;
        } else if (argument == "--json") {
            arguments.json = true;
        } else if (argument.size() > 1 && argument[0] == '-' &&
                   !std::isdigit(static_cast<unsigned char>(argument[1]))) {
            // "-5m" is a (bad) duration for the command to refuse, not an option.
            arguments.error = "unknown option '" + argument + "'";
            break;
        } else if (arguments.command.empty()) {
            arguments.command = argument;
        } else {
            arguments.positional.push_back(argument);
        }
    }
    return arguments;
}

namespace {

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

}  // namespace

std::string packagedConfigIn(const std::string& folder) {
    std::string plain = folder + "zentok.ini";
    if (fileExists(plain)) return plain;
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return "";
    std::string only;
    int found = 0;
    while (dirent* entry = ::readdir(directory)) {
        std::string name = entry->d_name;
        if (name.size() <= 4 || name[0] == '.' || name.compare(name.size() - 4, 4, ".ini") != 0) continue;
        only = folder + name;
        ++found;
    }
    ::closedir(directory);
    return found == 1 ? only : "";
}

std::string operatorConfigPath(const std::string& given, const char* programPath) {
    if (!given.empty()) return given;
    std::string local = defaultConfigPath(programPath);
    if (fileExists(local)) return local;
    std::string packaged = packagedConfigIn(kUnitConfigFolder);
    return packaged.empty() ? local : packaged;
}

std::string instanceDirectory(const std::string& configPath) {
    const std::string folder = kUnitConfigFolder;
    const std::string suffix = ".ini";
    bool unitConfig = configPath.compare(0, folder.size(), folder) == 0 &&
                      configPath.size() > folder.size() + suffix.size() &&
                      configPath.compare(configPath.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                      configPath.find('/', folder.size()) == std::string::npos;
    if (!unitConfig) return ".";
    std::string name = configPath.substr(folder.size(), configPath.size() - folder.size() - suffix.size());
    return name == "zentok" ? "/var/lib/zentok" : "/var/lib/zentok-" + name;
}

namespace {

bool loadFor(const std::string& configPath, Coupler& coupler, std::string* why) {
    coupler.loadConfig(configPath.c_str());
    if (coupler.cfgStat.size < 0) {
        *why = "configuration '" + configPath + "' cannot be read: " + errorText(coupler.cantOpenReason);
        return false;
    }
    return true;
}

bool enter(const std::string& configPath, const std::string& directory, std::string* why) {
    if (::chdir(directory.c_str()) == 0) return true;
    *why = "'" + configPath + "' is no Zentok instance's configuration: cannot enter " + directory + ": " +
           errorText(errno);
    return false;
}

}  // namespace

bool openConfiguration(const std::string& configPath, Coupler& coupler, std::string* why) {
    if (!loadFor(configPath, coupler, why)) return false;
    if (coupler.iniError()) {
        *why = "configuration '" + configPath + "' has errors";
        return false;
    }
    // Relative file names taken from anywhere else would go where the
    // service never looks.
    return enter(configPath, instanceDirectory(configPath), why);
}

bool openInstance(const std::string& configPath, Coupler& coupler, std::string* why) {
    coupler.skipSecrets = true;
    if (!loadFor(configPath, coupler, why)) return false;
    if (coupler.iniError())
        std::fprintf(stderr,
                     "configuration '%s' has errors (zentok --check tells which): its nodes are taken as "
                     "far as they load; a running Zentok keeps the configuration it loaded last\n",
                     configPath.c_str());
    std::string directory = instanceDirectory(configPath);
    if (!enter(configPath, directory, why)) return false;
    FileIdentity states;
    if (!identityOf(coupler.statesName, &states)) {
        *why = "'" + configPath + "' is no running or stopped Zentok instance's configuration: no " +
               coupler.statesName + " in " + (directory == "." ? "the working directory" : directory);
        return false;
    }
    return true;
}

namespace {

// A relative name with the directory it is in, for a message read by
// somebody who did not see the command enter it.
std::string fullPath(const std::string& path) {
    char directory[4096];
    if (path.empty() || path[0] == '/' || !::getcwd(directory, sizeof directory)) return path;
    return std::string(directory) + "/" + path;
}

}  // namespace

bool readableOrAbsent(const std::string& path, std::string* why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return true;
    struct stat status {};
    int code = fd < 0 ? errno : ::fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    if (fd >= 0) ::close(fd);
    if (code == 0) return true;
    *why = "cannot read '" + fullPath(path) + "': " + errorText(code);
    return false;
}

RunningState zentokRunningHere(std::string* why) {
    std::string mark = std::string(kRequestFolder) + "/.running";
    int fd = ::open(mark.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return RunningState::Stopped;
    if (fd < 0) {
        int code = errno;
        *why = "cannot tell whether Zentok runs: cannot read '" + fullPath(mark) + "': " + errorText(code);
        return RunningState::Unknown;
    }
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held ? RunningState::Running : RunningState::Stopped;
}
