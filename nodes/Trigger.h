// Trigger conditions: the letter-coded condition language and the per-node
// trigger state (armed, fired, sent).
#pragma once

struct Node;

// True when the node's condition holds for its fresh value; a T condition may re-arm the node.
bool evaluateCondition(Node* node, double previous);
// Runs the condition and updates active, sent and triggerTime.
void evaluateTrigger(Node* node, double previous);
// Fills table[0..length) with 0 and 1 from a time-table field ("*", "*/n", digit lists).
void parseTimeTable(int* table, int length, const char* text);
