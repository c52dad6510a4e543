// Fuzzes the composition of a notification mail from arbitrary texts: the
// result must be valid for SMTP (CRLF only, no line over 998 octets), the
// header must not gain lines of its own, and the subject must decode back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Encoding.h"
#include "notify/MailMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Text up to the first NUL byte, as C strings carry it; the first byte
    // picks how much of it goes into the source name.
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, input.find('\0'));
    size_t split = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % (input.size() + 1);
    std::string source = input.substr(0, split);
    std::string text = input.substr(split);

    MailContent content;
    content.from = "zentok@plant.example";
    content.to = "ops@example.org";
    content.sourceName = source.c_str();
    content.address = "400001";
    content.text = text.c_str();
    content.value = static_cast<double>(size) * 1.5;
    content.when = 1796559400;
    content.messageId = "<1@plant.example>";
    std::string mail = composeMail(content);

    bool inHeader = true;
    size_t lineStart = 0;
    for (size_t i = 0; i < mail.size(); ++i) {
        char c = mail[i];
        if (c == '\r' && (i + 1 >= mail.size() || mail[i + 1] != '\n')) std::abort();
        if (c == '\n' && (i == 0 || mail[i - 1] != '\r')) std::abort();
        if (c != '\n') continue;
        size_t length = i - 1 - lineStart;
        if (length > 998) std::abort();
        if (inHeader) {
            if (length == 0) {
                inHeader = false;
            } else {
                // A header line starts with a known name or continues one.
                std::string line = mail.substr(lineStart, length);
                static const char* names[] = {
                    "From: ",       "To: ",           "Date: ",         "Subject: ",
                    "Message-ID: ", "MIME-Version: ", "Content-Type: ", "Content-Transfer-Encoding: "};
                bool known = line[0] == ' ' || line[0] == '\t';
                for (const char* name : names) known = known || line.rfind(name, 0) == 0;
                if (!known) std::abort();
            }
        }
        lineStart = i + 1;
    }
    if (inHeader) std::abort();

    // The subject, unfolded and decoded, is the source name, ": " and the
    // text with its line breaks as blanks.
    std::string header = subjectHeader(source + ": " + text);
    std::string unfolded;
    for (size_t i = 9; i < header.size(); ++i) {
        if (header.compare(i, 2, "\r\n") == 0) {
            ++i;
            continue;
        }
        unfolded += header[i];
    }
    std::string decoded;
    if (unfolded.rfind("=?UTF-8?B?", 0) == 0) {
        for (size_t at = 0; (at = unfolded.find("=?UTF-8?B?", at)) != std::string::npos;) {
            size_t end = unfolded.find("?=", at + 10);
            if (end == std::string::npos) std::abort();
            decoded += base64Decode(unfolded.substr(at + 10, end - at - 10));
            at = end + 2;
        }
    } else {
        decoded = unfolded;
    }
    std::string expected = source + ": " + text;
    for (char& c : expected)
        if (c == '\r' || c == '\n') c = ' ';
    if (decoded != expected) std::abort();
    return 0;
}
