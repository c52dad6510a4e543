// Message templates: "{{name}}" placeholders stand for the current value of a
// node of the same source, "{{*}}" for the notifying node itself. At load the
// referenced nodes are added to the node table so they are read every cycle.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/ValueText.h"
#include "cycle/Coupler.h"
#include "sources/NodeAddress.h"
#include "trigger/Alarm.h"

namespace {

constexpr size_t kMarkerRoom = 8;  // "{{OV}}" / "{{NF}}" plus a little slack

// Copies the placeholder name [begin, end) into `name`. False when it does not
// fit the name field, so the placeholder can never match or create a node.
bool takeName(char (&name)[kNameSize], const char* begin, const char* end) {
    size_t length = static_cast<size_t>(end - begin);
    if (length >= sizeof name) return false;
    std::memcpy(name, begin, length);
    name[length] = 0;
    return true;
}

// Output under construction; never grows past its capacity.
struct Output {
    char* text;
    size_t capacity;
    size_t length = 0;

    size_t room() const { return capacity - length; }
    // Appends as much of `piece` as still fits in front of the terminator.
    void append(const char* piece) {
        while (*piece && length + 1 < capacity) text[length++] = *piece++;
    }
};

bool sameDevice(const DeviceAddress& a, const DeviceAddress& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == AddressKind::Modbus)
        return a.modbus.table == b.modbus.table && a.modbus.reg == b.modbus.reg;
    if (a.kind == AddressKind::S7)
        return a.s7.area == b.s7.area && a.s7.dbNumber == b.s7.dbNumber && a.s7.start == b.s7.start &&
               a.s7.type == b.s7.type && a.s7.bit == b.s7.bit;
    return false;
}

// The node a placeholder names: the node written so, or else the configured
// node of the source at the same device address ("{{400011}}" for the node
// "400011:FLOAT32:CDAB"), so a placeholder never reads a register raw beside
// the node that reads it with its type. Null when there is neither.
Node* placeholderNode(Coupler& coupler, SourceEntry* source, const char* name) {
    if (Node* written = coupler.findNode(name, source, false)) return written;
    if (!source) return nullptr;
    DeviceAddress device = readDeviceAddress(source->type, name);
    if (device.kind != AddressKind::Modbus && device.kind != AddressKind::S7) return nullptr;
    for (int i = 0; i < coupler.nodeCount; ++i)
        if (coupler.nodes[i].source == source && sameDevice(coupler.nodes[i].device, device))
            return &coupler.nodes[i];
    return nullptr;
}

// Adds the nodes a template names, so they are read every cycle.
void addReferencedNodes(Coupler& coupler, SourceEntry* source, const char* scan) {
    while ((scan = std::strstr(scan, "{{")) != nullptr) {
        scan += 2;
        // Format-like and "*" names are never node names to be created.
        if (*scan == 0 || *scan == '%' || *scan == '*') continue;
        const char* close = std::strstr(scan, "}}");
        if (!close) break;  // nothing further can close
        // An empty name would add a node that can never be read; names too
        // long for the address field can never match one. A full table
        // creates nothing either.
        char name[kNameSize];
        if (close > scan && takeName(name, scan, close) && !placeholderNode(coupler, source, name))
            coupler.findNode(name, source, true);
        scan = close + 2;
    }
}

const char* const kAlarmPlaceholders[] = {"%state", "%duration", "%reminder"};
// "{{%tag}}": the node's tag, or its address when it has none; for every node.
constexpr const char* kTagPlaceholder = "%tag";

// The alarm placeholders of a node with an "alarm" line: "{{%state}}",
// "{{%duration}}" and "{{%reminder}}". False for every other name, and for
// nodes without the line, whose "%" names stay unknown as they always were.
bool alarmPlaceholder(const char* name, const NoticeContext* notice, char* out, size_t capacity) {
    if (!notice) return false;
    if (std::strcmp(name, "%state") == 0)
        std::snprintf(out, capacity, "%s", alarmNoticeName(notice->kind));
    else if (std::strcmp(name, "%duration") == 0)
        formatAlarmDuration(out, static_cast<int>(capacity), notice->duration);
    else if (std::strcmp(name, "%reminder") == 0)
        std::snprintf(out, capacity, "%d", notice->reminder);
    else
        return false;
    return true;
}

}  // namespace

std::string Coupler::unknownPlaceholder(const char* text) {
    for (const char* scan = text; (scan = std::strstr(scan, "{{%")) != nullptr;) {
        const char* close = std::strstr(scan + 2, "}}");
        if (!close) break;
        std::string name(scan + 2, close);
        bool known = name == kTagPlaceholder;
        for (const char* placeholder : kAlarmPlaceholders) known = known || name == placeholder;
        if (!known) return name;
        scan = close + 2;
    }
    return "";
}

void Coupler::prepareTemplates() {
    // nodeCount is read afresh on every round, so nodes appended below are
    // walked too; their templates are empty.
    // Each appended node may move the table, so the templates are copied first.
    for (int i = 0; i < nodeCount; ++i) {
        SourceEntry* source = nodes[i].source;
        const std::string message = nodes[i].message;
        const std::string normal = nodes[i].alarm.normal;
        addReferencedNodes(*this, source, message.c_str());
        addReferencedNodes(*this, source, normal.c_str());
    }
}

bool Coupler::formatMessage(char* out, int capacity, const Node* node) {
    return formatTemplate(out, capacity, node, node ? node->message.c_str() : "", nullptr);
}

bool Coupler::formatTemplate(char* out, int capacity, const Node* node, const char* text,
                             const NoticeContext* notice) {
    if (!out || capacity <= 0) return true;
    out[0] = 0;
    if (!node) return true;

    Output output{out, static_cast<size_t>(capacity)};
    const char* read = text;
    while (*read) {
        if (read[0] != '{' || read[1] != '{') {
            if (output.length + 1 >= output.capacity) break;  // full: the text ends here
            output.text[output.length++] = *read++;
            continue;
        }
        const char* nameStart = read + 2;
        const char* close = std::strstr(nameStart, "}}");
        if (!close) {
            // An unmatched "{{" is dropped; what follows it is copied.
            if (*nameStart == 0) break;
            if (output.length + 1 >= output.capacity) break;
            output.text[output.length++] = *nameStart;
            read = nameStart + 1;
            continue;
        }

        char name[kNameSize] = "";
        const Node* referenced = nullptr;
        if (takeName(name, nameStart, close)) {
            if (std::strcmp(name, "*") == 0)
                referenced = node;
            else
                referenced = placeholderNode(*this, node->source, name);
        }

        size_t room = output.room();
        char alarmText[64];
        if (!referenced && std::strcmp(name, kTagPlaceholder) == 0) {
            if (room < kMarkerRoom) break;
            output.append(node->label());
        } else if (!referenced && alarmPlaceholder(name, notice, alarmText, sizeof alarmText)) {
            if (room < kMarkerRoom) break;
            output.append(alarmText);
        } else if (referenced) {
            if (room < kMarkerRoom) break;
            if (room == kMarkerRoom) {
                output.append("{{OV}}");
            } else {
                std::string value = formatValue(referenced->value, referenced->keepsDecimals());
                output.append(value.c_str());  // a value longer than the room is cut
            }
        } else {
            if (room < kMarkerRoom) break;
            output.append("{{NF}}");
        }
        read = close + 2;
    }
    output.text[output.length] = 0;
    return true;
}
