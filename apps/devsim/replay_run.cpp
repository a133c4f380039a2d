#include "replay_run.h"
#include "replay_server.h"

#include "platform/vbus/bus_address.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace devsim {

int runReplay(const std::string& recordingPath, const platform::vbus::BusAddress& address, double timeScale,
    const std::vector<Fault>& faults, bool (*stopRequested)())
{
    platform::recording::Recording recording;
    std::string error;
    if (!platform::recording::readRecording(recordingPath, recording, error)) {
        std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
        return 1;
    }
    std::error_code tempError;
    std::string pattern = (std::filesystem::temp_directory_path(tempError) / "tarvel-replay-XXXXXX").string();
    char* dir = pattern.data();
    if (tempError || !::mkdtemp(dir)) {
        std::perror("tarvel-devsim: mkdtemp");
        return 1;
    }
    ReplayOptions options;
    options.timeScale = timeScale;
    options.driveBase = dir;
    options.faults = faults;
    int status = 1;
    {
        ReplayServer server(std::move(recording), options);
        if (!server.start(address, error)) {
            std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
        } else {
            const std::string bus = platform::vbus::busAddressText(server.address());
            std::fprintf(stderr, "tarvel-devsim: replaying %s on %s\n", recordingPath.c_str(),
                platform::vbus::describeBusText(bus).c_str());
            if (address.kind == platform::vbus::BusAddress::Kind::Tcp) {
                std::printf("TARVEL_VBUS=%s\n", bus.c_str());
                std::fflush(stdout);
            }
            status = server.waitForEnd(stopRequested) ? 0 : 1;
            if (status == 0)
                std::fprintf(stderr, "tarvel-devsim: replay complete\n");
        }
        server.stop();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}

} // namespace devsim
