// Trigger conditions: when a node's value should notify. The state kept per
// node (active, sent, triggerTime) makes a condition that goes on holding
// notify once, not once per cycle.
#pragma once

#include <cstdint>

struct Condition;
struct Node;

// True when the node's condition holds for its fresh value; a T condition may re-arm the node.
bool evaluateCondition(Node* node, double previous);
// Runs the condition and moves the node's trigger state. A node re-arms only
// after its message has gone out, so a pending firing is never lost.
void evaluateTrigger(Node* node, double previous);
// A read of the node failed (or was left out after its source's link was
// lost): marks the read result and keeps the time until the next good read
// out of an S condition's count.
void noteFailedRead(Node* node);
// The same at a time the caller read from the clock already.
void evaluateTriggerAt(Node* node, double previous, int64_t now);
// Reads a condition's text into `out`, the one reader of the condition
// language. Returns why it can never hold (an unknown letter, a threshold
// that is no number, a time table that matches nothing), null when it can;
// `out` holds what the evaluation makes of it either way.
const char* readCondition(const char* text, Condition* out);
// What readCondition says of "O:3,5": the threshold is read up to the comma,
// so the condition holds, but at another value than the one written.
extern const char* const kDecimalCommaProblem;
// Why `condition` can never hold; null when it can.
const char* conditionProblem(const char* condition);
// Sets the node's condition text and the typed condition read from it.
void setCondition(Node* node, const char* text);
// Fills table[0..length) with 0 and 1 from a time-table field ("*", "*/n", digit lists).
void parseTimeTable(int* table, int length, const char* text);
