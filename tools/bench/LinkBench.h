#pragma once

/** nubo-bench link [seconds]: the real window connected to nubo-devsim under a flood of
    notifications. Prints the resident memory and the window thread's CPU every ten
    seconds (they should stay flat), then pulls the plug and prints the time until the
    log shows "Device disconnected". Needs a display (run it under xvfb-run). */
int runLinkBenchmark (int seconds, int asyncEveryMs);
