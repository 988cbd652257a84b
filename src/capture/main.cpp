#include "capture/capture.h"

int main(int argc, char **argv) {
    return capture_main(argc, argv);
}
