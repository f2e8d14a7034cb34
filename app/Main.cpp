#include "app/JUCEHelloWorldApplication.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

JUCE_CREATE_APPLICATION_DEFINE (JUCEHelloWorldApplication)

namespace
{
/** Without a display the window cannot be built (JUCE would crash trying); say so. */
bool canOpenDisplay()
{
    if (auto* display = XOpenDisplay (nullptr))
    {
        XCloseDisplay (display);
        return true;
    }

    const char* name = std::getenv ("DISPLAY");
    std::fprintf (stderr, "Cannot open display %s\n", name != nullptr ? name : "");
    std::fflush (stderr);
    return false;
}
} // namespace

// JUCE's runner creates the application and hands it the command line joined into
// one string; the modes take the arguments as they came instead. The runner's
// return value is the exit status.
int main (int argc, char* argv[])
{
    if (!canOpenDisplay())
        return -1;

    juce::StringArray arguments;
    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String::fromUTF8 (argv[i]));
    JUCEHelloWorldApplication::setProgramArguments (arguments);

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main (argc, (const char**) argv);
}
