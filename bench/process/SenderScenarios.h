// The process benchmark's scenarios for the sender and the outbox: reading
// beside a receiver that never answers, the outbox writes of a backlog whose
// receiver refuses, and the threads of a drain.
#pragma once

#include <cmath>
#include <string>

struct HangingReceiverFigures {
    double readsPerMinute = NAN;  // of the node whose alarms go to a file
    double slowestAlarmMs = NAN;  // from the register's rise to the file line
    double medianAlarmMs = NAN;
    int alarms = 0;      // rises of that node
    int alarmsSeen = 0;  // of them, written to the file
};

// readinterval 1; node 400001 flaps every 2 s and posts to a webhook that
// takes the connection and never answers; node 400002 rises at random
// moments, goes to a file receiver, and is timed. Over `seconds`.
HangingReceiverFigures hangingReceiver(const std::string& zentok, int seconds);

struct BacklogFigures {
    double writeBytesPerSecond = NAN;  // write_bytes of /proc/PID/io over the window
    int mostThreads = 0;               // sampled every 50 ms
};

// 1,000 pending entries of about 8 KB in the outbox at start, retries on
// (a day), readinterval 1, a webhook receiver whose port refuses every
// connection; watched for `seconds` after a warm-up of 2 s.
BacklogFigures refusedBacklog(const std::string& zentok, int seconds);

// The same backlog, retries off, drained into a webhook that takes the
// connections and never answers: how many threads the program runs at most.
BacklogFigures hangingDrain(const std::string& zentok, int seconds);
