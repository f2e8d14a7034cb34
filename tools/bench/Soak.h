#pragma once

/** nubo-bench --soak: many exchanges in a row and a 1 GiB transfer each way through
    nubo-devsim, with the process's resident memory and thread count along the way.
    Returns the exit status: 1 when a run failed or memory or threads grew. */
int runSoak();
