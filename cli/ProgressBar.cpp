#include "cli/ProgressBar.h"

#include "cli/Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
constexpr juce::uint32 redrawIntervalMs = 100;

int terminalWidth()
{
    winsize size{};
    if (::ioctl (STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
    return 80;
}

juce::String formatDuration (double seconds)
{
    const auto total = (juce::int64) (seconds + 0.5);
    if (total >= 3600)
        return juce::String::formatted ("%d:%02d:%02d", (int) (total / 3600), (int) (total / 60 % 60),
                                        (int) (total % 60));
    return juce::String::formatted ("%d:%02d", (int) (total / 60), (int) (total % 60));
}
} // namespace

ProgressBar::ProgressBar (juce::String initialLabel, bool isEnabled)
    : label (std::move (initialLabel)), enabled (isEnabled)
{
}

ProgressBar::~ProgressBar()
{
    finish();
}

void ProgressBar::update (juce::int64 done, juce::int64 newTotal)
{
    if (!enabled)
        return;

    const auto now = juce::Time::getMillisecondCounter();
    juce::String line;
    {
        const std::lock_guard<std::mutex> guard (lock);
        if (newTotal != total || done < lastDone)
        {
            total = newTotal;
            baseline = done;
            startMs = now;
            drawn = false;
        }
        lastDone = done;

        if (drawn && now - lastDrawMs < redrawIntervalMs && done < total)
            return;
        lastDrawMs = now;
        drawn = true;
        line = render (label, done, total, (now - startMs) / 1000.0, terminalWidth(), done - baseline);
    }
    Console::status (line);
}

void ProgressBar::finish()
{
    bool wasDrawn = false;
    {
        const std::lock_guard<std::mutex> guard (lock);
        wasDrawn = drawn;
        drawn = false;
        total = -1;
    }
    if (wasDrawn)
        Console::status ({});
}

juce::String ProgressBar::formatBytes (juce::int64 bytes)
{
    if (bytes < 1024)
        return juce::String (bytes) + " B";
    if (bytes < 1024 * 1024)
        return juce::String (bytes / 1024.0, 1) + " KiB";
    if (bytes < (juce::int64) 1024 * 1024 * 1024)
        return juce::String (bytes / (1024.0 * 1024.0), 1) + " MiB";
    return juce::String (bytes / (1024.0 * 1024.0 * 1024.0), 2) + " GiB";
}

juce::String ProgressBar::render (const juce::String& label, juce::int64 done, juce::int64 total, double seconds,
                                  int width, juce::int64 moved)
{
    const auto fraction = total > 0 ? juce::jlimit (0.0, 1.0, (double) done / (double) total) : 1.0;
    const auto rate = seconds > 0.05 ? (double) (moved < 0 ? done : moved) / seconds : 0.0;

    juce::String figures;
    figures << formatBytes (done) << " / " << formatBytes (total) << "  " << (int) (fraction * 100.0) << "%";
    if (rate > 0)
    {
        figures << "  " << formatBytes ((juce::int64) rate) << "/s";
        if (done < total)
            figures << "  " << formatDuration ((double) (total - done) / rate) << " left";
    }

    auto name = label;
    if (name.length() > 24)
        name = "..." + name.getLastCharacters (21);

    // What is left of the line after the name and the figures; the last column stays
    // free, or a terminal would wrap.
    const auto barWidth = juce::jlimit (0, 40, width - 1 - name.length() - figures.length() - 5);

    juce::String bar;
    if (barWidth >= 10)
    {
        const auto filled = (int) (fraction * barWidth);
        bar << " [" << juce::String::repeatedString ("#", filled)
            << juce::String::repeatedString (".", barWidth - filled) << "]";
    }

    return (name + bar + "  " + figures).substring (0, width - 1);
}
