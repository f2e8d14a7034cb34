#include "LinkBench.h"

#include "BenchSupport.h"

#include "app/HelloWorldWindow.h"
#include "app/LogView.h"
#include "app/MainPane.h"
#include "app/Settings.h"
#include "panes/ConnectionPane.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace
{
/** As the application does: Xlib's default handler would end the program at the first
    harmless error (a bare Xvfb without a window manager knows no WM_PROTOCOLS). */
void ignoreXErrorsLikeTheApplication()
{
    using Handler = int (*) (void*, void*);
    using SetHandler = Handler (*) (Handler);
    if (void* x11 = dlopen ("libX11.so.6", RTLD_NOW | RTLD_GLOBAL))
        if (auto set = reinterpret_cast<SetHandler> (dlsym (x11, "XSetErrorHandler")))
            set ([] (void*, void*) { return 0; });
}

double residentMegabytes()
{
    juce::StringArray lines;
    lines.addLines (juce::File ("/proc/self/status").loadFileAsString());
    for (auto& line : lines)
        if (line.startsWith ("VmRSS:"))
            return (double) line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue() / 1024.0;
    return -1;
}

/** CPU seconds the calling thread has used (user and system). */
double threadCpuSeconds()
{
    timespec t{};
    clock_gettime (CLOCK_THREAD_CPUTIME_ID, &t);
    return (double) t.tv_sec + (double) t.tv_nsec / 1e9;
}

bool logShows (MainPane& pane, const juce::String& line)
{
    return pane.getLogView().getText().contains (line + "\n");
}
} // namespace

int runLinkBenchmark (int seconds, int asyncEveryMs)
{
    if (std::getenv ("DISPLAY") == nullptr)
    {
        std::fprintf (stderr, "nubo-bench link needs a display: run it under xvfb-run\n");
        return 2;
    }

    ignoreXErrorsLikeTheApplication();
    ScratchFolder scratch;
    const auto fs = scratch.folder.getChildFile ("fs");
    const auto root = scratch.folder.getChildFile ("root");
    fs.getChildFile ("mnt/nandfs/usr").createDirectory();
    setenv ("NUBO_DEVICE_ROOT", root.getFullPathName().toRawUTF8(), 1);
    setenv ("XDG_CONFIG_HOME", scratch.folder.getChildFile ("config").getFullPathName().toRawUTF8(), 1);

    DeviceSimulatorProcess device (simulatorExecutable());
    if (!device.start ({"--fs", fs.getFullPathName(), "--device-root", root.getFullPathName(), "--async-every",
                        juce::String (asyncEveryMs)}))
    {
        std::fprintf (stderr, "nubo-devsim did not start\n");
        return 1;
    }

    Settings::configure();
    juce::LookAndFeel_V2 lookAndFeel;
    juce::LookAndFeel::setDefaultLookAndFeel (&lookAndFeel);
    auto window = std::make_unique<HelloWorldWindow>();
    auto& pane = *window->getMainPane();
    auto* mm = juce::MessageManager::getInstance();

    // A fresh machine with one device: it is chosen, Connect works.
    if (!pane.getConnectionPane()->connect())
    {
        std::fprintf (stderr, "connect failed\n");
        return 1;
    }

    std::printf ("link: %d asynchronous messages a second for %d s (window thread = this thread)\n",
                 6 * 1000 / asyncEveryMs, seconds);
    std::printf ("  %6s %12s %16s %10s\n", "time", "resident MB", "window CPU %", "log lines");

    const Stopwatch total;
    double lastCpu = threadCpuSeconds(), lastTime = 0;
    for (int s = 1; s <= seconds; ++s)
    {
        while (total.seconds() < s)
            mm->runDispatchLoopUntil (20);

        if (s % 10 == 0 || s == seconds)
        {
            const auto cpu = threadCpuSeconds();
            const auto now = total.seconds();
            std::printf ("  %5ds %12.1f %16.1f %10d\n", s, residentMegabytes(),
                         100.0 * (cpu - lastCpu) / (now - lastTime), pane.getLogView().getNumLines());
            std::fflush (stdout);
            lastCpu = cpu;
            lastTime = now;
        }
    }

    // Pull the plug: the simulator ends, its pseudo-terminal closes.
    const Stopwatch sinceUnplug;
    device.stop();
    while (!logShows (pane, "Device disconnected") && sinceUnplug.seconds() < 30)
        mm->runDispatchLoopUntil (1);

    if (logShows (pane, "Device disconnected"))
        std::printf ("  unplug to \"Device disconnected\": %.0f ms (the simulator's own exit included)\n",
                     sinceUnplug.seconds() * 1e3);
    else
        std::printf ("  unplug not noticed within 30 s\n");

    window.reset();
    mm->runDispatchLoopUntil (10);
    juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
    Settings::close();
    return 0;
}
