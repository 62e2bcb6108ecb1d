// Links the NIfTI reader from the installed package, so that the package must bring the NIfTI
// library along; prints the reader's refusal of a missing file.
#include <cstdio>

#include "volume/NiftiVolume.h"

int main(int argc, char** argv) {
    fibrejoin::Image image;
    std::string message;
    const bool read = argc > 1 && fibrejoin::ReadImage(argv[1], image, message);
    std::puts(read ? "read" : message.c_str());
    return 0;
}
