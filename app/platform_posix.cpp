#include "app/platform.h"

bool netStartup() {
    return true;
}

void netCleanup() {}
