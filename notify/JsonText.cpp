// The JSON string escaper: the ill-formed parts replaced as Utf8Text does,
// the escaping nlohmann-json's (RFC 8259, section 7: the short forms where
// there are some, \u00XX for the other control characters).
#include "notify/JsonText.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "notify/Utf8Text.h"

void appendJsonString(std::string* out, const char* text, size_t length) {
    nlohmann::json value = validUtf8(text, length);
    out->append(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void appendJsonString(std::string* out, const char* text) {
    appendJsonString(out, text ? text : "", text ? std::strlen(text) : 0);
}
