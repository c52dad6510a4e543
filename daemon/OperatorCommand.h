// "zentok ack", "zentok shelve" and "zentok unshelve": a request to the
// running Zentok of an instance through its request folder, and its answer.
#pragma once

struct OperatorArguments;

// Returns kOperatorDone, kOperatorRefused, kOperatorNoAnswer or kOperatorUsage.
int runOperatorRequest(const OperatorArguments& arguments, const char* programPath);
