// The mail channel. Each message is sent by the sender: a mail server may take
// many seconds to answer, and neither the read cycle nor the other receivers
// may wait for it.
#pragma once

#include <cstddef>
#include <string>

#include "base/Records.h"
#include "base/Settings.h"
#include "notify/Notifier.h"

class MailChannel : public Notifier {
  public:
    // `rest` is the address line behind the channel name "mail"; its first
    // ":"-separated field is the recipient (a ";" stays part of it). The
    // mail leaves through the SMTP relay of `uplinks`.
    explicit MailChannel(char* rest, UplinksHandle uplinks = noUplinks());

    // Writes the message and hands its transfer to the sender; true when it was handed over.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    std::string sendFault() const override;

    // libcurl read callback: delivers the message file (a FILE*) in pieces.
    static size_t readMessage(char* buffer, size_t size, size_t count, void* file);

    const char* getRecipient() const { return recipient; }

  private:
    char recipient[kNameSize] = {};
    UplinksHandle uplinks_;
};

// Empty when the SMTP uplink settings can be used; otherwise the
// configuration error: a URL without smtp:// or smtps://, or a TLS field that
// is neither "cafile:PATH" nor "trusted-relay".
std::string mailUplinkFault(const Uplinks& uplinks);

// Each transfer is bounded: connecting (including the SMTP greeting and TLS)
// and the whole transfer have time-outs, so a stalling server cannot hold a
// place of the sender for ever.
constexpr long kMailConnectTimeoutMs = 20000;
constexpr long kMailTransferTimeoutMs = 60000;

// Shortens both time-outs (tests only); 0 restores the defaults.
void setMailTimeoutsForTesting(long connectMs, long transferMs);
