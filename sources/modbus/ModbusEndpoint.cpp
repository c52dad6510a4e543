// The parameter text of a Modbus source.
#include "sources/modbus/ModbusEndpoint.h"

#include <cstring>

#include "base/Text.h"

namespace {

bool isDigits(const char* text, size_t most) {
    size_t length = std::strlen(text);
    return length > 0 && length <= most && std::strspn(text, "0123456789") == length;
}

// The rates termios names that serial Modbus devices use.
bool isKnownBaud(int baud) {
    static const int kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int rate : kRates)
        if (rate == baud) return true;
    return false;
}

void fail(ModbusEndpoint* endpoint, const std::string& why, bool fatal) {
    if (!endpoint->problem.empty()) return;  // the first one says enough
    endpoint->problem = why;
    endpoint->problemIsFatal = fatal;
}

void readRtuUnit(ModbusEndpoint* endpoint, const char* field, const char* parameters) {
    int unit = field && isDigits(field, 3) ? parseInt(field) : -1;
    if (unit < kFirstRtuUnit || unit > kLastRtuUnit) {
        fail(endpoint, std::string("unit id in '") + parameters + "' is not a number from 1 to 247", true);
        return;
    }
    endpoint->unit = unit;
}

// "8E1": data bits, parity, stop bits. RTU sends 8-bit bytes, so 8 data bits.
bool readFormat(SerialFormat* format, const char* text) {
    if (std::strlen(text) != 3 || text[0] != '8') return false;
    char parity = text[1] >= 'a' ? static_cast<char>(text[1] - 'a' + 'A') : text[1];
    if (parity != 'N' && parity != 'E' && parity != 'O') return false;
    if (text[2] != '1' && text[2] != '2') return false;
    format->dataBits = 8;
    format->parity = parity;
    format->stopBits = text[2] - '0';
    return true;
}

// tcp and rtutcp: "kind:host:port[:unit]".
void readNetworkForm(ModbusEndpoint* endpoint, char* cursor, const char* parameters) {
    char* address = nextToken(&cursor, ":");
    if (address && *address) copyText(endpoint->host, address);
    char* portText = nextToken(&cursor, ":");
    if (portText) endpoint->port = parseInt(portText);
    char* unitText = nextToken(&cursor, ":");
    if (endpoint->framing == ModbusFraming::RtuOverTcp) {
        readRtuUnit(endpoint, unitText, parameters);
        return;
    }
    if (!unitText || !*unitText) return;
    if (!isDigits(unitText, 3) || parseInt(unitText) > 255) {
        fail(endpoint, std::string("unit id in '") + parameters + "' is not a number from 0 to 255", true);
        return;
    }
    endpoint->unit = parseInt(unitText);
}

// "rtu:DEVICE:BAUD:FORMAT:UNIT", read from the right: a device path may hold
// colons (/dev/serial/by-path/...-usb-0:2:1.0-port0).
void readSerialForm(ModbusEndpoint* endpoint, const char* parameters) {
    const char* colon = std::strchr(parameters, ':');
    std::string text = colon ? colon + 1 : "";  // behind "rtu:"
    std::string fields[3];                      // unit, format, baud
    for (std::string& field : fields) {
        size_t last = text.rfind(':');
        if (last == std::string::npos) {
            fail(endpoint, std::string("'") + parameters + "' is not rtu:DEVICE:BAUD:FORMAT:UNIT", true);
            return;
        }
        field = text.substr(last + 1);
        text.erase(last);
    }
    if (text.empty() || text.size() >= sizeof endpoint->device)
        fail(endpoint, std::string("no serial device in '") + parameters + "'", true);
    copyText(endpoint->device, text.c_str());
    int baud = isDigits(fields[2].c_str(), 6) ? parseInt(fields[2].c_str()) : 0;
    if (!isKnownBaud(baud))
        fail(endpoint,
             "baud rate '" + fields[2] +
                 "' is not 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400",
             true);
    endpoint->serial.baud = baud;
    if (!readFormat(&endpoint->serial, fields[1].c_str()))
        fail(endpoint,
             "serial format '" + fields[1] +
                 "' is not 8 data bits, parity N, E or O and 1 or 2 stop bits (8E1)",
             true);
    readRtuUnit(endpoint, fields[0].c_str(), parameters);
}

}  // namespace

ModbusEndpoint parseModbusEndpoint(const char* parameters) {
    ModbusEndpoint endpoint;
    if (!parameters) parameters = "";
    char text[kNameSize];  // nextToken cuts its text up: work on a copy
    copyText(text, parameters);
    char* cursor = text;
    char* kind = nextToken(&cursor, ":");
    if (kind && equalsIgnoreCase(kind, "tcp")) {
        readNetworkForm(&endpoint, cursor, parameters);
    } else if (kind && equalsIgnoreCase(kind, "rtutcp")) {
        endpoint.framing = ModbusFraming::RtuOverTcp;
        readNetworkForm(&endpoint, cursor, parameters);
    } else if (kind && equalsIgnoreCase(kind, "rtu")) {
        endpoint.framing = ModbusFraming::RtuSerial;
        readSerialForm(&endpoint, parameters);
    } else {
        endpoint.framing = ModbusFraming::Unknown;
        fail(&endpoint, std::string("'") + parameters + "' is no Modbus link (tcp:, rtutcp: or rtu:)", false);
    }
    return endpoint;
}
