// The misbehaving S7 peer (tests/peers/s7_bad_peer.py) picks its fault by
// values in the client's own requests: the slot of the connection request,
// and the start byte of a read of the flags area. These are its magic values.
#pragma once

namespace s7peer {

// Slots.
constexpr int kSlotNormal = 2;
constexpr int kSlotDisconnect = 5;   // a disconnect request instead of a confirm
constexpr int kSlotSetupError = 6;   // the setup answer carries an error class and code
constexpr int kSlotSilent = 7;       // no answer to the connection request
constexpr int kSlotWrongPduRef = 8;  // the setup answer has a wrong PDU reference
constexpr int kSlotIdleClose = 9;    // normal, but closes a link idle for 200 ms

// Start bytes of a flags read (MB<start>); below 100 the answer is normal:
// the bytes 12 34 56 78 ... as many as asked for.
constexpr int kStartWrongPduRef = 100;
constexpr int kStartShortPacket = 101;  // the data length claims more than the packet holds
constexpr int kStartTpktLonger = 102;   // TPKT length beyond the bytes sent, then silence
constexpr int kStartTpktHuge = 103;     // TPKT length 0xFFFF
constexpr int kStartItemTooLong = 104;  // more data than requested
constexpr int kStartSilent = 105;
constexpr int kStartItemError = 106;   // item return code 5
constexpr int kStartJobRefused = 107;  // error class in the header
constexpr int kStartByteByByte = 108;
constexpr int kStartClose = 109;
constexpr int kStartItemCodeZero = 110;  // item return code 0
constexpr int kStartTpktVersion = 111;   // TPKT version 2
constexpr int kStartProtocolId = 112;    // protocol id 0x33
constexpr int kStartTwoPackets = 113;    // header first, then the rest
constexpr int kStartRepeated = 114;      // the answer, and again 100 ms later
constexpr int kStartStrayAnswer = 115;   // followed at once by an answer to the next PDU reference

}  // namespace s7peer
