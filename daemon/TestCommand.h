// "zentok test RECEIVER": one test message through a receiver's channel.
#pragma once

struct OperatorArguments;

// Returns kOperatorDone when the channel delivered it, kOperatorRefused when
// it failed or there is no such receiver.
int sendTestMessage(const OperatorArguments& arguments, const char* programPath);
