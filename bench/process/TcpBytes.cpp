// TcpBytes: bytes_acked of `ss -ti` (see TcpBytes.h).
#include "TcpBytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

long long bytesAckedTowards(int port) {
    std::string command =
        "ss -tinH state established '( dst 127.0.0.1:" + std::to_string(port) + " )' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
    long long total = -1;
    const char* key = "bytes_acked:";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        total = (total < 0 ? 0 : total) + std::atoll(text.c_str() + at + std::strlen(key));
    return total;
}
