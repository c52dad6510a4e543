// The node states file: one line per node with its trigger time, last read
// time, last read result and value, read at the start of every cycle and
// rewritten after the sources have been read.
#pragma once

#include <cstdio>

class Coupler;

// Applies the state lines of an open file to the coupler's nodes.
void readStatesFrom(Coupler& coupler, FILE* file);
// Writes one state line per node in table order; false when a write failed.
bool writeStatesTo(const Coupler& coupler, FILE* file);
