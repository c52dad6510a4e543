// The "exec" channel: hands each notification to a program, so a site reaches
// any service a command-line tool can (Apprise, signal-cli) without a channel
// of its own. The program runs without a shell, driven by the sender.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "notify/Notifier.h"

class ExecChannel : public Notifier {
  public:
    // `rest` is the address line behind "exec" (may be null): the program's
    // absolute path and its arguments, separated by blanks.
    ExecChannel(char* rest, const char* receiverName);

    // The notification's fields go into ZENTOK_* environment variables, the
    // text to standard input; exit status 0 is delivered. False only for a
    // line without program or a program that could not be handed to the sender.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;

    // A program is needed, named by its absolute path: the unit's PATH is
    // not the administrator's.
    std::string addressFault() const override;

    const std::string& program() const;

  private:
    std::vector<std::string> argv_;
    std::string receiver_;
};

// The environment of one run: the daemon's own without any ZENTOK_ variable,
// then ZENTOK_RECEIVER, ZENTOK_SOURCE, ZENTOK_NODE, ZENTOK_VALUE, ZENTOK_TIME,
// ZENTOK_TRIGGER_TIME, ZENTOK_KIND, ZENTOK_STATE (raised, cleared, reminder or
// summary for a node with an alarm line, else empty) and ZENTOK_TEXT.
std::vector<std::string> commandEnvironment(const Notification& notification, const char* receiverName,
                                            int64_t when);

// How long a program may run before it is killed (30 s); tests shorten it, 0 restores it.
void setCommandTimeLimitForTesting(int ms);
