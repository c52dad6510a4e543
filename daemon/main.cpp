// Zentok: couples a PLC or Modbus device to notification channels.
#include <curl/curl.h>

#include <csignal>
#include <cstdio>

#include "base/JournalOutput.h"
#include "daemon/Entry.h"

int main(int argc, char** argv) {
    // Under journald, failure lines get the priority prefix "journalctl -p err" looks for.
    prefixJournalPriorities();
    // Line by line, also into a pipe or the journal, so a tail shows each message as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A peer that closes its end must never end the program: writes fail with EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);
    // Nor may a file-size limit: a write beyond it fails with EFBIG, which the
    // outbox and the states file report, instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // libcurl (and with it the TLS library) is set up by the first network
    // channel that needs it, so a coupler with only local receivers never
    // pays for it; this libcurl's init is safe on any thread.
    int status = runZentok(argc, argv);
    std::fflush(stdout);
    // The run has ended the sender's thread, so nothing is inside libcurl;
    // without an init this does nothing.
    curl_global_cleanup();
    return status;
}
