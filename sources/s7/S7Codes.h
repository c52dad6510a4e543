// The numbers the S7 layer and its frames share: the result codes of every
// operation and the area codes of a read. Apart from both, so the frame
// checks and the operations that send the frames each stand on it alone.
#pragma once

// Result codes. 0 is success. A positive code is the S7 item return code the
// PLC answered with (for example 5 address out of range, 10 object does not
// exist); negative codes are failures of the layer and the transport.
enum : int {
    daveResOK = 0,
    daveErrTimeout = -1,               // no (complete) answer within the time-out
    daveErrShortAnswer = -2,           // the answer ends before the fields it announces
    daveErrMalformed = -3,             // a field of the answer does not fit the request
    daveErrClosed = -4,                // the peer closed the connection
    daveErrJobRefused = -5,            // the S7 header carries an error class/code
    daveErrPduRef = -6,                // the answer does not echo the request's PDU reference
    daveErrSizeMismatch = -7,          // the item data length differs from the bytes requested
    daveErrPacketTooLarge = -8,        // TPKT length larger than the receive buffer
    daveErrInvalidArgs = -9,           // area, block, start or count the request cannot carry
    daveErrSend = -10,                 // the request could not be sent
    daveErrNotConnected = -11,         // no open PLC connection
    daveErrConnectRefused = -12,       // the PLC answered the connection request with no confirm
    daveErrSetupRefused = -13,         // setup communication was refused
    daveErrNoDriver = -14,             // no S7 online driver on this platform
    daveErrSocket = -15,               // the socket failed while receiving
    daveErrClosedBeforeRequest = -16,  // the peer had closed the link; nothing was sent
};

// Area codes of daveReadBytes.
constexpr int daveInputs = 0x81;
constexpr int daveOutputs = 0x82;
constexpr int daveFlags = 0x83;
constexpr int daveDB = 0x84;
constexpr int daveCounter = 0x1C;
constexpr int daveTimer = 0x1D;
