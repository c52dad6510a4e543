// Feeds every seed of a fuzz target's corpus to its entry function once, in
// the normal build without libFuzzer: a parser change that crashes on, or
// trips a check of, a kept seed fails the test run, not only the fuzz stage.
//
//   replay_NAME DIRECTORY
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Only some targets set up their process first.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::string> seedsIn(const std::string& dir) {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return names;
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') names.push_back(dir + "/" + entry->d_name);
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SEED_DIRECTORY\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> seeds = seedsIn(argv[1]);
    // An empty or missing corpus would pass while testing nothing.
    if (seeds.empty()) {
        std::fprintf(stderr, "no seeds in '%s'\n", argv[1]);
        return 1;
    }
    for (const std::string& seed : seeds) {
        std::ifstream file(seed, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // Named before it runs: a seed that crashes the target is the last line.
        std::printf("%s\n", seed.c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu seeds replayed\n", seeds.size());
    return 0;
}
