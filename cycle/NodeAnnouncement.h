// Tells each channel that announces nodes (MQTT's Home Assistant discovery)
// which nodes its receiver's groups hold, once a load's channels run.
#pragma once

class Coupler;

// For every receiver with a "discovery" line: its channel is handed the
// nodes of the groups it is linked to.
void announceNodes(Coupler& coupler);
