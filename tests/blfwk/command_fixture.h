#pragma once
// A command run against the fake bootloader over a real USB-HID packetizer.

#include "blfwk/command.h"
#include "blfwk/usb_hid_packetizer.h"
#include "fake_bootloader.h"
#include "recording_logger.h"

#include <gtest/gtest.h>

namespace blfwktest {

struct CommandFixture : ::testing::Test {
    testsupport::ScriptedHid hid;
    FakeBootloader target { hid };
    RecordingLogger logger { blfwk::Logger::Debug };
    blfwk::UsbHidPacketizer packetizer { new blfwk::UsbHidPeripheral(0x2b29, 0x0b), 5000 };

    // Builds and sends; fails the test when the factory refuses.
    std::unique_ptr<blfwk::Command> run(const blfwk::string_vector_t& args)
    {
        std::unique_ptr<blfwk::Command> cmd = blfwk::Command::create(args);
        EXPECT_NE(cmd, nullptr) << args[0];
        if (cmd)
            cmd->sendTo(packetizer);
        return cmd;
    }
    static std::vector<uint32_t> values(const blfwk::Command& cmd) { return *cmd.responseValues(); }
    const FakeBootloader::Received& lastCommand() const { return target.commands.back(); }
};

} // namespace blfwktest
