// S7 node addresses: area letter, optional data block, type, byte and bit.
#include "sources/s7/S7Address.h"

#include <cstring>

#include "sources/s7/S7Codes.h"

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number that must be there; `*p` moves behind it. Saturates, so a
// long row of digits stays out of every range.
bool readNumber(const char** p, int* out) {
    if (!isDigit(**p)) return false;
    long number = 0;
    while (isDigit(**p)) {
        if (number < 100000000) number = number * 10 + (**p - '0');
        ++*p;
    }
    *out = static_cast<int>(number);
    return true;
}

int byteCountOf(char type) {
    switch (type) {
        case 'B':
            return 1;
        case 'W':
            return 2;
        case 'D':
            return 4;
        case 'X':
            return 1;
        default:
            return 0;
    }
}

// A byte number and, for the bit forms, "." and a bit 0 to 7; nothing may follow.
bool readStartAndBit(const char* p, S7Address* a) {
    if (!readNumber(&p, &a->start)) return false;
    if (a->type == 'X') {
        if (*p++ != '.' || !readNumber(&p, &a->bit) || a->bit > 7) return false;
    }
    return *p == 0;
}

bool areaOf(char letter, int* area) {
    switch (letter) {
        case 'E':
        case 'I':
            *area = daveInputs;
            return true;
        case 'A':
        case 'O':
            *area = daveOutputs;
            return true;
        case 'M':
        case 'F':
            *area = daveFlags;
            return true;
        case 'D':
            *area = daveDB;
            return true;
        case 'T':
            *area = daveTimer;
            return true;
        case 'Z':
        case 'C':
            *area = daveCounter;
            return true;
        default:
            return false;
    }
}

// "DB10.DBW4", "DB10.DBX2.5": block number, then type, byte and bit.
bool parseDataBlock(const char* adr, S7Address* a) {
    const char* p = adr + 2;
    if (!readNumber(&p, &a->dbNumber) || a->dbNumber <= 0 || a->dbNumber > 0xFFFF) return false;
    if (std::strncmp(p, ".DB", 3) != 0) return false;
    a->type = p[3];
    if (a->type == 0) return false;
    return readStartAndBit(p + 4, a);
}

}  // namespace

// The whole text must be one address: a character that is no part of it
// would otherwise be dropped, and the node would read another object.
bool parseS7Address(const char* adr, S7Address* out) {
    if (!adr || !out) return false;
    S7Address a;
    if (!areaOf(adr[0], &a.area)) return false;
    if (a.area == daveTimer || a.area == daveCounter) {
        a.type = 'W';
        const char* p = adr + 1;
        if (!readNumber(&p, &a.start) || *p != 0 || a.start > 0xFFFF) return false;
    } else if (a.area == daveDB) {
        if (adr[1] != 'B' || !parseDataBlock(adr, &a)) return false;
    } else if (isDigit(adr[1])) {
        a.type = 'X';
        if (!readStartAndBit(adr + 1, &a)) return false;
    } else {
        a.type = adr[1];
        // A bit is written as M10.3; "MX10.3" is not a form of these areas.
        if (a.type == 'X' || !readStartAndBit(adr + 2, &a)) return false;
    }
    a.byteCount = byteCountOf(a.type);
    if (a.byteCount == 0) return false;
    // Byte numbers travel as bit addresses in 24 bits.
    if (a.start < 0 || a.start > 0x1FFFFF) return false;
    *out = a;
    return true;
}
