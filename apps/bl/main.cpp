// tarvel-bl: one bootloader command from the command line.
#include "bl_options.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return bl::runTool(args);
}
