// The abstract connection to one data source, and the factory that creates
// the right kind from a source's type name.
#pragma once

#include <memory>

struct Node;

class SourceConnection {
  public:
    virtual ~SourceConnection() = default;

    // Opens the link described by the parameter text (may be null).
    virtual bool connect(const char* parameters);
    // Reads the object the node's typed device address names and stores the
    // value in the node; the address text was read at load.
    virtual bool read(Node* node);
    virtual bool isConnected();

    bool connected = false;
};

// "simatic" or "modbus" in any case; anything else creates nothing.
std::unique_ptr<SourceConnection> createConnection(const char* type);
bool isKnownSourceType(const char* type);
