// The abstract connection to one data source, and the factory that creates
// the right kind from a source's type name.
#pragma once

#include <memory>
#include <vector>

struct Node;
struct ReadBlock;

// One node's share of a block read: `ok` when the request brought its object.
struct BlockValue {
    bool ok = false;
    double raw = 0.0;
};

class SourceConnection {
  public:
    virtual ~SourceConnection() = default;

    // Opens the link described by the parameter text (may be null).
    virtual bool connect(const char* parameters);
    // Reads the object the node's typed device address names and stores the
    // value in the node; the address text was read at load.
    virtual bool read(Node* node);
    virtual bool isConnected();
    // Reads the objects of all the block's nodes (indices into `nodes`) with
    // one request; values[i] is block.nodes[i]'s. False when the request failed
    // as a whole; a node whose value is not ok is then read on its own.
    virtual bool readBlock(const ReadBlock& block, const Node* nodes, std::vector<BlockValue>* values);
    // The PDU length that bounds a request of several items; 0 where the
    // protocol has none.
    virtual int pduLength();

    bool connected = false;
};

// "simatic" or "modbus" in any case; anything else creates nothing.
std::unique_ptr<SourceConnection> createConnection(const char* type);
bool isKnownSourceType(const char* type);
