// Tells each channel that announces nodes (MQTT's Home Assistant discovery)
// which nodes its receiver's groups hold, once a load's channels run.
#pragma once

class Coupler;

// Every receiver's channel is handed the nodes of the groups it is linked
// to when it has a "discovery" line, and none when it has not.
void announceNodes(Coupler& coupler);
