// The per-source worker of the read cycle: one lasting thread per source,
// woken for each cycle, walks the node table, reads the due nodes of its
// source and evaluates their triggers. The main thread gets the nodes back
// through readDone.
#pragma once

struct Node;
struct SourceEntry;

// The per-node step; false when the node could not be read. A failed read
// stops the walk only when the link is gone, so the rest of the source's
// nodes wait for the next cycle instead of each running into the same dead
// link, while a bad address or an exception answer fails its node alone.
bool readAndEvaluate(Node* node);

// An alarm bit's value from its word's last read in `table` (the word's
// read error when that failed); runs its trigger like a read.
void takeWordBit(const Node* table, Node* node);

// The thread procedure; its last act hands the nodes back to the main thread.
void readThread(SourceEntry* entry);
