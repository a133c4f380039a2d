#pragma once
// Bootloader packets over a byte stream. Each packet travels in a framing packet: the start
// byte 0x5A, a type, the payload length and a CRC-16 over header and payload (both
// little-endian), then the payload. The receiver answers every command or data packet with a
// two-byte sync packet (Ack, Nak or AckAbort); a ping opens the link and reports the peer's
// framing protocol version. The Ack of a packet received is deferred until the next read,
// write or finalize.

#include "blfwk/packetizer.h"
#include "blfwk/uart_peripheral.h"

namespace blfwk {

enum FramingPacketType : uint8_t {
    kFramingPacketStartByte = 0x5A,
    kFramingPacketType_Ack = 0xA1,
    kFramingPacketType_Nak = 0xA2,
    kFramingPacketType_AckAbort = 0xA3,
    kFramingPacketType_Command = 0xA4,
    kFramingPacketType_Data = 0xA5,
    kFramingPacketType_Ping = 0xA6,
    kFramingPacketType_PingResponse = 0xA7,
};

// The record after 5A A7: version (fix level, minor, major, letter from the low byte up),
// options, and the CRC-16 over 5A A7 and the six bytes before it.
struct PingResponse {
    uint32_t version;
    uint16_t options;
    uint16_t crc16;
};
static_assert(sizeof(PingResponse) == 8);

class SerialPacketizer : public Packetizer {
public:
    static constexpr uint32_t kMaxPacketSize = 32;
    static constexpr uint32_t kFramingHeaderSize = 6; // start byte, type, length, CRC
    static constexpr uint32_t kPollPauseMs = 10; // between two start-byte polls
    static constexpr uint32_t kBackToBackPauseMs = 100; // a write right after a sync packet
    static constexpr uint32_t kPingWaitMs = 500; // for the start byte of a ping response
    // Copies of one packet refused in a row (Nak) before the exchange gives up with 10502.
    static constexpr uint32_t kMaxResends = 10;
    static constexpr uint32_t kHostPingVersion = 0x50010203; // 'P' 1.2.3, answered to a peer's ping

    // Takes ownership of the peripheral (a UartPeripheral or a BusPalUartPeripheral).
    SerialPacketizer(UartPeripheral* peripheral, uint32_t packetTimeoutMs);

    status_t readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) override;
    status_t writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) override;
    // Turns the owed Ack into an AckAbort. Without an Ack owed there is nothing to abort.
    status_t abortPacket() override;
    status_t sync() override { return sendSyncPacket(kFramingPacketType_Ack); }
    status_t finalize() override { return sendOwedAck(); }
    status_t pump() override { return kStatus_Success; }
    uint32_t getMaxPacketSize() override { return kMaxPacketSize; }
    UartPeripheral* getPeripheral() override { return static_cast<UartPeripheral*>(m_peripheral); }

    // Sends Ping up to retries + 1 times until the peer answers; on success keeps the version
    // and options and copies the record to *response when given. comSpeed, when not 0, is the
    // line's baud rate: the rest of the answer is given time to arrive.
    status_t ping(int retries, unsigned int delayMs, PingResponse* response, int comSpeed);

private:
    struct SerialContext {
        uint8_t data[kMaxPacketSize]; // payload of the last packet read
        uint8_t frame[kFramingHeaderSize + kMaxPacketSize]; // last framing packet sent
        uint32_t frameLength;
        bool isAckNeeded;
        bool isAckAbortNeeded;
        bool isBackToBackWrite;
    };

    status_t sendSyncPacket(uint8_t type);
    status_t sendOwedAck();
    status_t readStartByte();
    status_t readHeader(uint8_t* type);
    status_t waitForAck();
    void answerPing();

    SerialContext m_serialContext {};
};

} // namespace blfwk
