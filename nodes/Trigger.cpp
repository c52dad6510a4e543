// Trigger conditions (placeholder until the condition language is built).
#include "nodes/Trigger.h"

#include "core/Coupler.h"

bool evaluateCondition(Node*, double) { return false; }
void evaluateTrigger(Node*, double) {}
void parseTimeTable(int* table, int length, const char*) {
    for (int i = 0; i < length; ++i) table[i] = 0;
}
