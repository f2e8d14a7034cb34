#pragma once

#include "cli/CommandResult.h"
#include "cli/LineReader.h"
#include "cli/PortChooser.h"

#include <juce_core/juce_core.h>

#include <map>
#include <memory>

class DeviceSession;

/** nubo shell: one device's files at a prompt. The commands are the command line's
    (ls, get, put, rm, mkdir, mv) on the shell's open session, with a current folder on
    the device (cd, pwd) and here (lcd, lls); a Ctrl-C ends the running command, not the
    session, and a device unplugged is waited for and taken up again where it was. */
class NuboShell final
{
public:
    explicit NuboShell (ChosenPort port);
    ~NuboShell();

    /** Runs until exit, quit, Ctrl-D or the end of the piped commands; the exit status
        (with piped commands, the worst of theirs). */
    int run();

private:
    /** One folder's names as the device gave them, for completion. */
    struct Listing
    {
        juce::uint32 takenAt = 0;
        juce::StringArray files, folders;
    };

    CommandResult execute (const juce::StringArray& words, bool& quit);
    CommandResult changeFolder (const juce::StringArray& arguments);
    CommandResult listLocal (const juce::StringArray& arguments);
    CommandResult changeLocalFolder (const juce::StringArray& arguments);
    CommandResult showFiles (const juce::StringArray& arguments, const RunContext& context);
    void printHelp() const;

    /** Opens the session; false (and why) when the port does not open. */
    bool connect (juce::String& error);

    /** Waits for the device to come back (its USB serial number, or its path), then opens
        it again; false on a signal. */
    bool waitForDevice (const juce::String& why);

    LineReader::Completion completeLine (const juce::String& textBeforeCursor);
    void completeRemote (const juce::String& typed, bool foldersOnly, LineReader::Completion& into);
    static void completeLocal (const juce::String& typed, bool foldersOnly, LineReader::Completion& into);
    const Listing* listingOf (const juce::String& folder);

    /** A path typed at the prompt, as the file commands take it: absolute, from the
        current folder when it was relative; a trailing "/" is kept. */
    juce::String remote (const juce::String& typed) const;

    juce::String prompt() const;

    ChosenPort port;
    juce::String usbSerial; // the device's, to know it again after an unplug; may be empty
    std::unique_ptr<DeviceSession> session;
    juce::String folder;
    std::map<juce::String, Listing> listings; // by normalised folder
    LineReader reader;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (NuboShell)
};
