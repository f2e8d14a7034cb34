#pragma once

/** The process-wide request counter: the first number taken in a run is 0,
    each later one is one more. Safe to call from any thread: no two calls get the
    same number (until it wraps past INT_MAX). */
int takeNextSerialNumber();
