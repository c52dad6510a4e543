// Fuzzes the states-file reader with whole files, and checks that what the
// writer makes of the result reads back to the same file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/StatesFile.h"

namespace {

// Source and node names with quotes and separators, an empty address and a
// node without source, so every kind of key is reachable from the input.
std::unique_ptr<Coupler> makeCoupler() {
    auto c = std::make_unique<Coupler>();
    c->sourceCount = 1;
    copyText(c->sources[0].name, "pl\"ant");
    c->findNode("MW10", &c->sources[0], true);
    c->findNode("!OFFLINE", &c->sources[0], true);
    c->findNode("a\"b;c", &c->sources[0], true);
    c->findNode("", &c->sources[0], true);
    c->findNode("orphan", nullptr, true);
    return c;
}

std::string readThrough(Coupler& c, const uint8_t* data, size_t size) {
    if (size > 0) {
        FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
        if (!in) return "";
        readStatesFrom(c, in);
        std::fclose(in);
    }
    char* buffer = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    if (!out) return "";
    writeStatesTo(c, out);
    std::fclose(out);
    std::string text(buffer, length);
    std::free(buffer);
    return text;
}

// The file form has four characters for the year. A hand-written date such as
// month 99 of 9999 normalises to a later year that cannot be written back in
// that form; such times are not compared.
bool fitsTheFileForm(int64_t seconds) {
    if (seconds == 0) return true;
    time_t clock = static_cast<time_t>(seconds);
    struct tm local {};
    if (!gmtime_r(&clock, &local)) return false;
    long long year = static_cast<long long>(local.tm_year) + 1900;
    return year >= -999 && year <= 9999;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto first = makeCoupler();
    std::string written = readThrough(*first, data, size);
    for (int i = 0; i < first->nodeCount; ++i)
        if (!fitsTheFileForm(first->nodes[i].triggerTime) || !fitsTheFileForm(first->nodes[i].lastRead))
            return 0;
    auto second = makeCoupler();
    std::string again =
        readThrough(*second, reinterpret_cast<const uint8_t*>(written.data()), written.size());
    if (again != written) {
        std::fprintf(stderr, "states file does not read back:\n%s---\n%s", written.c_str(), again.c_str());
        std::abort();
    }
    return 0;
}
