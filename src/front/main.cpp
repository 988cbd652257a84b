#include "front/entry.h"

int main(int argc, char **argv) {
    return quorvex_main(argc, argv);
}
