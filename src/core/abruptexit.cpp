#include "abruptexit.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace tallyo {

namespace {
struct Actions {
    std::mutex mutex;
    std::vector<std::function<void()> *> living; // the oldest first
};

// Never destroyed: exit handlers may run after static objects are gone.
Actions &actions()
{
    static Actions &all = *new Actions;
    return all;
}

void onExit()
{
    std::vector<std::function<void()> *> due;
    {
        std::lock_guard lock(actions().mutex);
        due.swap(actions().living);
    }
    for (auto it = due.rbegin(); it != due.rend(); ++it)
        (**it)();
}
} // namespace

AbruptExit::AbruptExit(std::function<void()> action) : m_action(std::move(action))
{
    std::lock_guard lock(actions().mutex);
    // Registered anew each time: exit handlers run in the reverse order of
    // their registration, so this one runs before those of what was set up
    // earlier (the application object, the spreadsheet modules).
    std::atexit(onExit);
    actions().living.push_back(&m_action);
}

void AbruptExit::runBeforeLaterLoads()
{
    std::atexit(onExit);
}

AbruptExit::~AbruptExit()
{
    std::lock_guard lock(actions().mutex);
    std::erase(actions().living, &m_action);
}

} // namespace tallyo
