// The operator's requests to a running Zentok (ack, shelve, unshelve): small
// files in a folder of its working directory, so no network port and no
// signal is needed. A command renames a request into the folder; the main
// loop carries it out, writes the answer beside it and removes the request.
// What a command left while no Zentok ran is carried out at the next start
// if it is not older than kOldestRequestSeconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Coupler;

constexpr const char* kRequestFolder = "zentok_requests";
constexpr const char* kRequestSuffix = ".request";
constexpr const char* kAnswerSuffix = ".answer";
// A request is a few short lines; anything larger is not one of ours.
constexpr size_t kMaxRequestBytes = 2048;
constexpr size_t kMaxRequestNameSize = 100;

struct OperatorRequest {
    std::string command;  // "ack", "shelve" or "unshelve"
    std::string node;     // as the configuration writes its address, "ADDRESS#2", or "all" for ack
    std::string by;       // who acknowledges
    std::string note;
    int seconds = 0;      // how long a shelve lasts
    int64_t time = 0;     // when the command made it; 0 in a request of an older version
    int64_t episode = 0;  // the raise time of the alarm the command saw; 0: none
};

// A request older than this is dropped with a line: what an operator asked
// for an hour ago, while no Zentok ran, no longer fits the plant.
constexpr int64_t kOldestRequestSeconds = 3600;

// "zentok request 1" and one "name=value" line per field.
std::string formatRequest(const OperatorRequest& request);
// Reads a request strictly: its first line, known names once each, values
// without control characters and within their sizes. False with the reason.
bool parseRequest(const std::string& text, OperatorRequest* request, std::string* why);
// A name a request file may have: letters, digits, '-' and '_' before the
// suffix, so no path and no hidden file.
bool isRequestName(const std::string& fileName);

// Who acknowledged as an answer, a notice and the journal say it: the name
// the operator gave and, when known, the request file's owner, "anna (user jdoe)";
// one that came from the phone names its path, "anna via telegram".
std::string acknowledgerText(const char* by, const char* owner, const char* via = "");

// The answer file's text: "ok" or "refused", then what was done, one line each.
std::string formatAnswer(bool ok, const std::string& message);

// Creates the folder in the working directory when it is missing, and holds
// a shared lock on its ".running" file for as long as the program runs.
void prepareRequestFolder();
// Whether a Zentok holds the lock of the request folder in the working
// directory: it runs, even while a long read keeps it from answering.
bool zentokRunsHere();
// Carries out the requests waiting in the folder, a bounded number per call,
// each answered and removed, also a damaged one. Only plain files are
// requests: anything else under a request's name is said once and left
// alone. A folder that is a symbolic link is not followed. Old answers nobody
// collected are removed.
void serveOperatorRequests(Coupler& coupler);
