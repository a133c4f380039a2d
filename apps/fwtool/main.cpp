// tarvel-fw: the firmware this updater carries, for engineers and technicians. Lists the
// embedded images with their versions and writes a decoded image to a file, for example to
// program it by hand with tarvel-bl.

#include "flash/firmware_catalog.h"
#include "state/device_models.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: tarvel-fw list\n"
                 "       tarvel-fw extract TYPE standard|japanese FILE\n"
                 "TYPE is a device type from 4 to 16; the decoded image is written to FILE.\n");
    return 2;
}

int list()
{
    initFirmwareCatalog();
    std::printf("type  model              version  standard   japanese  (decoded bytes)\n");
    for (int type = kFirstFlashableType; type <= kMaxDeviceType; ++type) {
        int sizes[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            FirmwareImage image;
            if (selectFirmwareImage(type, i ? kJapaneseVariant : 0, &image))
                sizes[i] = decodeFirmwareImage(image);
        }
        std::printf("%4d  %-18s %3d.%02d  %9d  %9d\n", type, modelNames[size_t(type)], firmwareCatalog[size_t(type)][0],
                    firmwareCatalog[size_t(type)][1], sizes[0], sizes[1]);
    }
    return 0;
}

int extract(const char* typeText, const char* variantText, const char* path)
{
    char* end = nullptr;
    const long type = std::strtol(typeText, &end, 0);
    const bool japanese = std::strcmp(variantText, "japanese") == 0;
    if (!end || *end || (!japanese && std::strcmp(variantText, "standard") != 0))
        return usage();
    FirmwareImage image;
    if (!selectFirmwareImage(int(type), japanese ? kJapaneseVariant : 0, &image)) {
        std::fprintf(stderr, "tarvel-fw: no image for device type %ld\n", type);
        return 1;
    }
    const int length = decodeFirmwareImage(image);
    if (length <= 0) {
        std::fprintf(stderr, "tarvel-fw: the image for device type %ld does not decode\n", type);
        return 1;
    }
    FILE* out = std::fopen(path, "wb");
    if (!out) {
        std::perror(path);
        return 1;
    }
    const bool written = std::fwrite(imageBuffer, 1, size_t(length), out) == size_t(length);
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "tarvel-fw: could not write %s\n", path);
        return 1;
    }
    std::printf("%s: %s %s image, %d bytes\n", path, modelNames[size_t(type)], variantText, length);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "list") == 0)
        return list();
    if (argc == 5 && std::strcmp(argv[1], "extract") == 0)
        return extract(argv[2], argv[3], argv[4]);
    return usage();
}
