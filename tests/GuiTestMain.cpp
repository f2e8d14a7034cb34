#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <csignal>
#include <dlfcn.h>

namespace
{
/** A standalone JUCE application installs X error handlers that report and go on;
    a test program is no standalone application, so Xlib's default handler would end
    it at the first harmless error (JUCE sets WM_PROTOCOLS, which a bare Xvfb
    without a window manager does not know). Do what the application does. libX11
    is loaded at run time, as JUCE itself does, so no test links it. */
void ignoreXErrorsLikeTheApplication()
{
    using Handler = int (*) (void*, void*);
    using SetHandler = Handler (*) (Handler);
    if (void* x11 = dlopen ("libX11.so.6", RTLD_NOW | RTLD_GLOBAL))
        if (auto set = reinterpret_cast<SetHandler> (dlsym (x11, "XSetErrorHandler")))
            set ([] (void*, void*) { return 0; });
}
} // namespace

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    testing::InitGoogleTest (&argc, argv);
    ignoreXErrorsLikeTheApplication();
    const juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
