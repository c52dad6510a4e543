// The scheme a configured channel address must start with. libcurl guesses a
// scheme that is left out (plain HTTP, or HTTP for a mail server), so an
// address without one would send a token or a login in clear text.
#pragma once

#include <initializer_list>
#include <string>

// Whether `url` starts with one of `schemes` and "://", letter case ignored.
bool hasScheme(const std::string& url, std::initializer_list<const char*> schemes);

// Empty when `url` has one of `schemes`; otherwise the configuration error
// "WHAT 'URL' needs http:// or https://", the URL masked as on the console.
std::string schemeFault(const char* what, const std::string& url, std::initializer_list<const char*> schemes);
