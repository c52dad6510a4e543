// The base connection, the factory from the type name, and the per-source
// worker that reads the nodes of its source once per cycle.
#include "sources/SourceConnection.h"

#include "core/Clock.h"
#include "core/Coupler.h"
#include "core/Text.h"
#include "nodes/Trigger.h"
#include "sources/ModbusConnection.h"
#include "sources/NodaveConnection.h"

bool SourceConnection::connect(const char*) { return false; }
bool SourceConnection::read(Node*) { return false; }
bool SourceConnection::isConnected() { return connected; }

std::unique_ptr<SourceConnection> createConnection(const char* type) {
    if (equalsIgnoreCase(type, "simatic")) return std::make_unique<NodaveConnection>();
    if (equalsIgnoreCase(type, "modbus")) return std::make_unique<ModbusConnection>();
    return nullptr;
}

bool readAndEvaluate(Node* node) {
    if (!node) return false;
    int64_t now = currentTime();
    // A last read in the future (clock set back, hand-edited states) counts as elapsed.
    if (node->readInterval > 0 && node->lastRead + node->readInterval > now && node->lastRead <= now) return true;
    if (!node->source) return false;
    double previous = node->value;
    if (!node->source->readNode(node)) return false;
    node->lastRead = currentTime();
    // Also when the source interval passed the read over: the trigger is then
    // evaluated on the unchanged value.
    evaluateTrigger(node, previous);
    return true;
}

void readThread(SourceEntry* entry) {
    if (entry->nodes && entry->nodeCount > 0) {
        for (int i = 0; i < entry->nodeCount; ++i) {
            Node* node = &entry->nodes[i];
            if (node->source != entry) continue;
            if (!readAndEvaluate(node)) {
                entry->failedReads++;
                break;  // the rest of this source waits for the next cycle
            }
        }
    }
    // Last write of the worker: after this the main thread owns the nodes again.
    entry->markReadDone();
}
