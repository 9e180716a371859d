// The process ending through exit() while the program runs. Qt ends the
// process itself when its connection to the display breaks (the X server
// died, the user logged out, the connection was killed: "The X11 connection
// broke"; the Wayland compositor gone): it calls exit() from inside whatever
// the event loop was doing, so no wait unwinds and no destructor of the
// window runs. The actions set here run then, on that thread, before the
// exit handlers of what the program set up earlier: they save what would be
// lost and free what others need (the port and its lock file).
#pragma once

#include <functional>

namespace tallyo {

class AbruptExit {
public:
    // `action` runs at most once, when exit() is called while this object
    // lives (the newest object's first).
    explicit AbruptExit(std::function<void()> action);
    ~AbruptExit();

    // The actions run before the exit handlers of what was loaded since (a
    // spreadsheet module and the libraries it brought: their threads may
    // still be in a call when the process ends).
    static void runBeforeLaterLoads();

    AbruptExit(const AbruptExit &) = delete;
    AbruptExit &operator=(const AbruptExit &) = delete;

private:
    std::function<void()> m_action;
};

} // namespace tallyo
