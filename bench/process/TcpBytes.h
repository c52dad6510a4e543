// Bytes a program sent over its own TCP connections, from the kernel's socket
// statistics (ss), so its requests can be counted without touching it.
#pragma once

// Bytes acknowledged on every established connection to 127.0.0.1:port, or
// -1 when there is none (or ss is missing).
long long bytesAckedTowards(int port);
