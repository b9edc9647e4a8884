#include "driver.h"

// Arguments are ignored: the download manager starts the detector bare.
int main() {
    return detect_run();
}
