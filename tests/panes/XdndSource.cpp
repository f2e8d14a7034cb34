#include "XdndSource.h"

#include <chrono>
#include <dlfcn.h>
#include <functional>
#include <thread>

// After every JUCE header: Xlib's macros (None, Bool, Status...) would clash with it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace
{
/** The protocol version this source speaks at most; the window's XdndAware may ask for less. */
constexpr long highestVersion = 5;

/** "file://" and the path, with every byte outside the unreserved ones and "/" escaped. */
juce::String fileUri (const juce::String& path)
{
    juce::String uri ("file://");
    const char* hex = "0123456789ABCDEF";
    for (const auto* p = path.toRawUTF8(); *p != 0; ++p)
    {
        const auto c = (unsigned char) *p;
        if (juce::CharacterFunctions::isLetterOrDigit ((char) c) || c == '/' || c == '-' || c == '.' || c == '_' ||
            c == '~')
            uri << (char) c;
        else
            uri << '%' << hex[c >> 4] << hex[c & 15];
    }
    return uri;
}
} // namespace

/** The display connection, the functions of libX11 this source uses, and its window. */
struct XdndSource::Connection
{
    template <typename Function> bool load (Function& function, const char* name)
    {
        function = reinterpret_cast<Function> (dlsym (library, name));
        return function != nullptr;
    }

    bool open()
    {
        library = dlopen ("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return false;

        const bool loaded =
            load (openDisplay, "XOpenDisplay") && load (closeDisplay, "XCloseDisplay") &&
            load (internAtom, "XInternAtom") && load (getAtomName, "XGetAtomName") &&
            load (defaultRootWindow, "XDefaultRootWindow") && load (createSimpleWindow, "XCreateSimpleWindow") &&
            load (destroyWindow, "XDestroyWindow") && load (setSelectionOwner, "XSetSelectionOwner") &&
            load (changeProperty, "XChangeProperty") && load (getWindowProperty, "XGetWindowProperty") &&
            load (sendEvent, "XSendEvent") && load (flush, "XFlush") && load (pending, "XPending") &&
            load (nextEvent, "XNextEvent") && load (freeData, "XFree");
        if (!loaded)
            return false;

        display = openDisplay (nullptr);
        if (display == nullptr)
            return false;

        auto atom = [this] (const char* name) { return internAtom (display, name, False); };
        xdndAware = atom ("XdndAware");
        xdndEnter = atom ("XdndEnter");
        xdndPosition = atom ("XdndPosition");
        xdndStatus = atom ("XdndStatus");
        xdndDrop = atom ("XdndDrop");
        xdndFinished = atom ("XdndFinished");
        xdndLeave = atom ("XdndLeave");
        xdndSelection = atom ("XdndSelection");
        xdndActionCopy = atom ("XdndActionCopy");
        uriList = atom ("text/uri-list");
        nudge = atom ("NUBO_TEST_SOURCE_WAITING");

        window = createSimpleWindow (display, defaultRootWindow (display), 0, 0, 1, 1, 0, 0, 0);
        flush (display);
        return window != 0;
    }

    ~Connection()
    {
        if (display != nullptr)
        {
            if (window != 0)
                destroyWindow (display, window);
            closeDisplay (display);
        }
        if (library != nullptr)
            dlclose (library);
    }

    /** The version the window announces in XdndAware, or 0 when it announces none. */
    long versionOf (Window target)
    {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        long version = 0;
        if (getWindowProperty (display, target, xdndAware, 0, 1, False, XA_ATOM, &type, &format, &count, &after,
                               &data) == Success &&
            data != nullptr && format == 32 && count == 1)
            version = (long) *reinterpret_cast<unsigned long*> (data);
        if (data != nullptr)
            freeData (data);
        return version;
    }

    void send (Window target, Atom type, long l1, long l2, long l3, long l4)
    {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.display = display;
        event.xclient.window = target;
        event.xclient.message_type = type;
        event.xclient.format = 32;
        event.xclient.data.l[0] = (long) window;
        event.xclient.data.l[1] = l1;
        event.xclient.data.l[2] = l2;
        event.xclient.data.l[3] = l3;
        event.xclient.data.l[4] = l4;
        sendEvent (display, target, False, NoEventMask, &event);
        flush (display);
    }

    /** Hands the file list to the window that asks for it, as the selection's owner does. */
    void answerSelectionRequest (const XSelectionRequestEvent& request, const juce::String& fileList, Outcome& outcome)
    {
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.display = display;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.time = request.time;
        reply.xselection.property = 0;

        if (request.selection == xdndSelection && request.target == uriList && request.property != 0)
        {
            ++outcome.fileListRequests;
            changeProperty (display, request.requestor, request.property, uriList, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*> (fileList.toRawUTF8()),
                            (int) fileList.getNumBytesAsUTF8());
            reply.xselection.property = request.property;
        }
        sendEvent (display, request.requestor, False, NoEventMask, &reply);
        flush (display);
    }

    /** Handles what arrives until the condition holds; false when the time ran out first.

        A JUCE window reads its events when its connection has new input. Events that
        arrive while it waits for a reply of its own (as its painting does) are read
        into Xlib's queue with that reply, and wait there for the next input. A person's
        drag keeps events coming as the pointer moves; this source, which holds still,
        sends the window a message of no meaning to it while it waits for an answer. */
    bool runUntil (Window target, const std::function<bool()>& condition, int timeoutMs, const juce::String& fileList,
                   Outcome& outcome)
    {
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::milliseconds (timeoutMs);
        auto nextNudge = start + std::chrono::milliseconds (100);
        while (!condition())
        {
            if (pending (display) == 0)
            {
                const auto now = std::chrono::steady_clock::now();
                if (now >= deadline)
                    return false;
                if (now >= nextNudge)
                {
                    send (target, nudge, 0, 0, 0, 0);
                    nextNudge = now + std::chrono::milliseconds (100);
                }
                std::this_thread::sleep_for (std::chrono::milliseconds (2));
                continue;
            }

            XEvent event{};
            nextEvent (display, &event);
            if (event.type == SelectionRequest)
            {
                answerSelectionRequest (event.xselectionrequest, fileList, outcome);
            }
            else if (event.type == ClientMessage && event.xclient.message_type == xdndStatus)
            {
                ++outcome.statusMessages;
                outcome.lastStatusAccepted = (event.xclient.data.l[1] & 1) != 0;
            }
            else if (event.type == ClientMessage && event.xclient.message_type == xdndFinished)
            {
                outcome.finished = true;
                outcome.finishedFlags = event.xclient.data.l[1];
                const auto action = (Atom) event.xclient.data.l[2];
                if (action != 0)
                    if (char* name = getAtomName (display, action))
                    {
                        outcome.finishedAction = name;
                        freeData (name);
                    }
            }
        }
        return true;
    }

    void* library = nullptr;
    decltype (&::XOpenDisplay) openDisplay = nullptr;
    decltype (&::XCloseDisplay) closeDisplay = nullptr;
    decltype (&::XInternAtom) internAtom = nullptr;
    decltype (&::XGetAtomName) getAtomName = nullptr;
    decltype (&::XDefaultRootWindow) defaultRootWindow = nullptr;
    decltype (&::XCreateSimpleWindow) createSimpleWindow = nullptr;
    decltype (&::XDestroyWindow) destroyWindow = nullptr;
    decltype (&::XSetSelectionOwner) setSelectionOwner = nullptr;
    decltype (&::XChangeProperty) changeProperty = nullptr;
    decltype (&::XGetWindowProperty) getWindowProperty = nullptr;
    decltype (&::XSendEvent) sendEvent = nullptr;
    decltype (&::XFlush) flush = nullptr;
    decltype (&::XPending) pending = nullptr;
    decltype (&::XNextEvent) nextEvent = nullptr;
    decltype (&::XFree) freeData = nullptr;

    Display* display = nullptr;
    Window window = 0;
    Atom xdndAware = 0, xdndEnter = 0, xdndPosition = 0, xdndStatus = 0, xdndDrop = 0, xdndFinished = 0, xdndLeave = 0,
         xdndSelection = 0, xdndActionCopy = 0, uriList = 0, nudge = 0;
};

//==============================================================================
XdndSource::XdndSource() : connection (std::make_unique<Connection>())
{
    if (!connection->open())
        connection.reset();
}

XdndSource::~XdndSource() = default;

bool XdndSource::isOpen() const
{
    return connection != nullptr;
}

XdndSource::Outcome XdndSource::begin (juce::uint64 targetWindow, int rootX, int rootY, const juce::StringArray& files,
                                       int timeoutMs)
{
    outcome = {};
    if (connection == nullptr)
        return outcome;

    auto& c = *connection;
    target = targetWindow;
    const auto window = (Window) target;
    const auto version = juce::jmin (highestVersion, c.versionOf (window));
    outcome.targetAware = version > 0;
    if (!outcome.targetAware)
        return outcome;

    fileList.clear();
    for (const auto& file : files)
        fileList << fileUri (file) << "\r\n";

    // As a file manager begins a drag: it owns the selection, then enters with the
    // one type it offers.
    c.setSelectionOwner (c.display, c.xdndSelection, c.window, CurrentTime);
    c.send (window, c.xdndEnter, version << 24, (long) c.uriList, 0, 0);
    // Entering is answered, and the window asks for the files: they reach it before
    // the move below, which then finds them there.
    c.runUntil (
        window, [&] { return outcome.statusMessages > 0 && outcome.fileListRequests > 0; }, timeoutMs, fileList,
        outcome);

    // One move to the point, answered.
    const auto answered = outcome.statusMessages;
    c.send (window, c.xdndPosition, 0, ((long) rootX << 16) | (long) (rootY & 0xffff), CurrentTime,
            (long) c.xdndActionCopy);
    c.runUntil (
        window, [&] { return outcome.statusMessages > answered; }, timeoutMs, fileList, outcome);
    return outcome;
}

XdndSource::Outcome XdndSource::release (int timeoutMs)
{
    if (connection == nullptr || !outcome.targetAware)
        return outcome;

    auto& c = *connection;
    const auto window = (Window) target;
    if (outcome.lastStatusAccepted)
    {
        c.send (window, c.xdndDrop, 0, CurrentTime, 0, 0);
        c.runUntil (
            window, [&] { return outcome.finished; }, timeoutMs, fileList, outcome);
    }
    else
    {
        // A window that says it will not take the drop is left, not dropped on.
        c.send (window, c.xdndLeave, 0, 0, 0, 0);
    }
    return outcome;
}

XdndSource::Outcome XdndSource::dragAndDrop (juce::uint64 targetWindow, int rootX, int rootY,
                                             const juce::StringArray& files, int timeoutMs)
{
    begin (targetWindow, rootX, rootY, files, timeoutMs);
    return release (timeoutMs);
}
