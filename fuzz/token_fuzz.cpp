// Fuzzes the field tokenizer: every field must lie inside the text it was cut from.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* separatorSets[] = {";", ":", ";:"};
    for (const char* separators : separatorSets) {
        std::vector<char> text(data, data + size);
        text.push_back(0);
        char* begin = text.data();
        char* end = begin + text.size();
        char* cursor = begin;
        int fields = 0;
        while (char* field = nextToken(&cursor, separators)) {
            if (field < begin || field + std::strlen(field) >= end) std::abort();
            if (++fields > static_cast<int>(size) + 1) std::abort();  // the cursor always advances
        }
    }
    return 0;
}
