// The scheme check of configured channel addresses (see UrlScheme.h).
#include "notify/UrlScheme.h"

#include "core/Text.h"
#include "notify/HttpPost.h"

bool hasScheme(const std::string& url, std::initializer_list<const char*> schemes) {
    size_t end = url.find("://");
    if (end == std::string::npos) return false;
    std::string scheme = url.substr(0, end);
    for (const char* known : schemes)
        if (equalsIgnoreCase(scheme.c_str(), known)) return true;
    return false;
}

std::string schemeFault(const char* what, const std::string& url,
                        std::initializer_list<const char*> schemes) {
    if (hasScheme(url, schemes)) return "";
    std::string fault = std::string(what) + " '" + maskUrl(url) + "' needs ";
    const char* separator = "";
    for (const char* scheme : schemes) {
        fault += separator;
        fault += scheme;
        fault += "://";
        separator = " or ";
    }
    return fault;
}
