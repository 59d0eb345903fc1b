#include "run_update.h"

// The tool takes no arguments: any argument list gives the same run.
int main() {
    return run_update();
}
