// SIGTERM and SIGINT, the way systemd and an operator stop the program: the
// first one lets the current cycle finish and the transfers still running
// settle (up to 10 s), a second one ends the program at once.
#pragma once

class ConfigWatch;

// Installs the handlers; `watch` (may be null) has its wait cut short.
void installStopHandlers(ConfigWatch* watch);
// True once a stop was asked for.
bool stopRequested();
// Asks for a stop as a signal would (tests).
void requestStopForTesting();
