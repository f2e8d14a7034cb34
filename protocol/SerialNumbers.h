#pragma once

/** The process-wide request counter: the first number taken in a run is 0,
    each later one is one more. */
int takeNextSerialNumber();
