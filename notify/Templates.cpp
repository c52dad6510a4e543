// Message templates (placeholder until templates are built).
#include "core/Coupler.h"

void Coupler::prepareTemplates() {}
bool Coupler::formatMessage(char* out, int capacity, const Node*) {
    if (out && capacity > 0) out[0] = 0;
    return true;
}
