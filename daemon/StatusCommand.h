// "zentok status": the state of an instance at a glance, from its files only.
#pragma once

struct OperatorArguments;

// Prints the nodes, the source and the outbox as a table, or as JSON with
// --json; returns kOperatorDone while a Zentok runs, kOperatorNoAnswer when
// none does, kOperatorRefused when a file cannot be read.
int showStatus(const OperatorArguments& arguments, const char* programPath);
