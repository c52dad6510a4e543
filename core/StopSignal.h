// SIGTERM and SIGINT, the way systemd and an operator stop the program: the
// first one lets the current cycle finish and the transfers still running
// settle (up to 10 s), a second one ends the program at once. SIGHUP asks for
// a reload of the configuration file at once, changed or not.
#pragma once

class ConfigWatch;

// Installs the handlers; `watch` (may be null) has its wait cut short.
void installStopHandlers(ConfigWatch* watch);
// True once a stop was asked for.
bool stopRequested();
// True once per SIGHUP received since the last call.
bool takeReloadRequest();
// Asks for a stop as a signal would (tests).
void requestStopForTesting();
