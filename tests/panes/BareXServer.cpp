#include "BareXServer.h"

#include <dlfcn.h>
#include <initializer_list>

namespace
{
bool internWindowManagerAtoms()
{
    // libX11 is loaded at run time, as JUCE itself does, so no test links it.
    void* x11 = dlopen ("libX11.so.6", RTLD_LAZY | RTLD_GLOBAL);
    if (x11 == nullptr)
        return false;
    using OpenDisplay = void* (*) (const char*);
    using InternAtom = unsigned long (*) (void*, const char*, int);
    auto openDisplay = reinterpret_cast<OpenDisplay> (dlsym (x11, "XOpenDisplay"));
    auto internAtom = reinterpret_cast<InternAtom> (dlsym (x11, "XInternAtom"));
    void* display = openDisplay != nullptr ? openDisplay (nullptr) : nullptr;
    if (display == nullptr || internAtom == nullptr)
        return false;
    for (auto* name : {"WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "_NET_WM_PING", "WM_CHANGE_STATE",
                       "WM_STATE", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE"})
        internAtom (display, name, 0);
    return true; // the connection stays open for the life of the process
}

const bool prepared = internWindowManagerAtoms();
} // namespace

bool bareXServerPrepared()
{
    return prepared;
}
