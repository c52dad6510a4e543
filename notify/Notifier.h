// The abstract notification channel. A receiver owns at most one.
#pragma once

struct Node;

class Notifier {
public:
    virtual ~Notifier() = default;
    // True when the channel has done or started its work.
    virtual bool notify(const Node& node, const char* text);
};
