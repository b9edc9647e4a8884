#include "sandbox.h"

int main(int argc, char** argv) {
    return sandbox_main(argc, argv);
}
