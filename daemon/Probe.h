// "zentok probe": reads every node of the configuration once and prints
// what it read, for commissioning a site. It notifies nobody and writes
// neither the states nor the outbox file.
#pragma once

#include <string>

// Exit status when a node could not be read; a configuration error gives
// kExitConfigError (core/ConfigCheck.h), every node read gives 0.
constexpr int kProbeReadFailed = 1;

int probeConfiguration(const std::string& path);
