#include "log/ScopedLogContext.h"

namespace
{
thread_local ILogger* threadLogger = nullptr;
} // namespace

ScopedLogContext::ScopedLogContext (ILogger* logger) : previous (threadLogger)
{
    threadLogger = logger;
}

ScopedLogContext::~ScopedLogContext()
{
    threadLogger = previous;
}

ILogger* ScopedLogContext::current()
{
    return threadLogger;
}
