#pragma once

#include <juce_core/juce_core.h>

/** nubo-port-probe from this build: another process on a port (see its source). */
inline juce::File portProbeExecutable()
{
    return juce::File (NUBO_BIN_DIR).getChildFile ("nubo-port-probe");
}

/** Another program holding a port open and locked, for as long as the object lives. */
class PortHolder final
{
public:
    explicit PortHolder (const juce::String& path, const juce::String& name = {})
    {
        juce::StringArray command{portProbeExecutable().getFullPathName(), "hold", path};
        if (name.isNotEmpty())
            command.add (name);
        if (!process.start (command))
            return;

        // One byte at a time: a bigger read would wait for more than the one line.
        juce::String line;
        for (char c; process.readProcessOutput (&c, 1) == 1 && c != '\n';)
            line += c;
        if (line.startsWith ("holding "))
            pid = line.fromFirstOccurrenceOf (" ", false, false).getIntValue();
    }

    ~PortHolder()
    {
        process.kill();
        process.waitForProcessToFinish (10000);
    }

    bool isHolding() const
    {
        return pid > 0;
    }

    int getPid() const
    {
        return pid;
    }

private:
    juce::ChildProcess process;
    int pid = 0;

    JUCE_DECLARE_NON_COPYABLE (PortHolder)
};
