// The node states file (placeholder until the states file is built).
#include "core/Coupler.h"

void Coupler::readStates() {}
void Coupler::writeStates() {}
