// Sending commands to the running device and the generic command/echo exchange.
#include "devlink/app_exchange.h"

#include "devlink/frame_codec.h"

#include "platform/hid.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"

#include <cstring>

namespace {

bool writeFrame(platform::HidDevice* device, const uint8_t* body, size_t bodyLength)
{
    if (!device)
        return false;
    uint8_t frame[kOutputReportSize - 1];
    const size_t frameLength = encodeFrame(body, bodyLength, frame, sizeof frame);
    uint8_t report[kOutputReportSize];
    if (frameLength == 0 || !packReport(frame, frameLength, report))
        return false;
    return platform::hidService().write(device, report, kOutputReportSize, kWriteTimeoutMs) > 0;
}

// A text line from the device: reply byte 1 up to the first zero byte, and never past the
// frame's own bytes (its CRC when the frame was complete) whether or not a zero came. It goes
// to the log alone: standard output belongs to the front end (one JSON object per line with
// --json), and a device's text is whatever bytes the device sent.
void logDeviceText(const uint8_t* reply, const DecodedFrame& frame)
{
    size_t end = frame.length;
    if (frame.complete && end >= 2)
        end -= 2;
    char text[kReplyBufferSize + 1];
    size_t n = 0;
    for (size_t i = 1; i < end && reply[i] != 0; ++i)
        text[n++] = char(reply[i]);
    text[n] = '\0';
    logLine(text);
}

} // namespace

platform::HidDevice* openAppDevice()
{
    return platform::hidService().open(kAppVendorId, kAppProductId);
}

bool sendCommand(uint8_t code, platform::HidDevice* device)
{
    uint8_t body[kCommandBodyLength];
    return writeFrame(device, body, commandBody(code, body));
}

bool sendCommandWithArgs(uint8_t code, platform::HidDevice* device, uint16_t argumentA, uint32_t argumentB)
{
    uint8_t body[kCommandWithArgsBodyLength];
    return writeFrame(device, body, commandWithArgsBody(code, argumentA, argumentB, body));
}

bool transactCommand(uint8_t code, uint8_t* reply)
{
    logLine("\r\nOpening HID device\r\n");
    platform::HidService& hid = platform::hidService();
    platform::HidDevice* device = openAppDevice();
    if (!device) {
        logLine("Failed to open HID device\r\n");
        return false;
    }
    logLine("Sending command\r\n");
    sendCommand(code, device); // a failed write shows as a silent device below
    logLine("Waiting for response\r\n");

    bool echoed = false;
    int unexpected = 0;
    while (!echoed) {
        uint8_t buffer[kInputReportSize];
        const int count = hid.read(device, buffer, kInputReportSize, kReplyReadTimeoutMs);
        DecodedFrame frame;
        if (count > 0)
            frame = decodeFrame(buffer, size_t(count), reply);
        // A report that decodes to nothing leaves reply byte 0 from an earlier frame; it is
        // judged as no reply rather than by that stale byte.
        if (frame.length > 0 && reply[0] == kTextMessageCode) {
            logDeviceText(reply, frame);
            continue;
        }
        if (frame.length > 0 && reply[0] == code) {
            echoed = true;
            break;
        }
        logLine("Unexpected command\r\n");
        if (++unexpected > kUnexpectedRepliesTolerated)
            break;
    }
    hid.close(device);
    return echoed;
}
