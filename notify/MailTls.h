// How the mail channel secures its connection to the mail server. A login
// must not cross the network in clear text or reach a server that merely
// claims to be the right one, so with a login TLS is required (STARTTLS, or
// smtps://) and the certificate verified; without one, TLS is used when the
// server offers it. A trusted relay may opt out of both.
#pragma once

#include <curl/curl.h>

#include <string>

struct MailTlsPolicy {
    bool trustedRelay = false;  // "trusted-relay": TLS when offered, never verified
    std::string caFile;         // "cafile:PATH": verify against PATH, not the system's store
};

// Reads the TLS field of the SMTP uplink: empty, "cafile:PATH" or
// "trusted-relay" (letter case of the keywords ignored). False for anything else.
bool parseMailTls(const char* text, MailTlsPolicy* policy);

// The TLS options of one transfer; `login` is whether a login is sent.
void setMailTlsOptions(CURL* curl, const MailTlsPolicy& policy, bool login);
