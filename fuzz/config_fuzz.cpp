// Fuzzes the configuration parser with whole files.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Log.h"
#include "cycle/Coupler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = "/tmp/zentok-config-fuzz-" + std::to_string(getpid()) + ".ini";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    // Silence the parser's messages; the fuzzer only looks for crashes and overruns.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    auto coupler = std::make_unique<Coupler>();
    coupler->loadConfig(path.c_str());
    setLogLevel(0);
    return 0;
}
