#include "sheetworkers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace tallyo {

namespace {

// Every worker from its start until it is joined. Never destroyed: a worker
// still in a call when the process ends must find it.
struct Workers {
    std::mutex mutex;
    std::condition_variable ended;
    std::map<std::uint64_t, std::thread> running;
    std::vector<std::uint64_t> finished; // ran to their end, not joined yet
    std::uint64_t nextId = 0;

    // (lock held) The threads that have ended, to be joined.
    std::vector<std::thread> takeFinished()
    {
        std::vector<std::thread> threads;
        for (std::uint64_t id : finished) {
            threads.push_back(std::move(running.at(id)));
            running.erase(id);
        }
        finished.clear();
        return threads;
    }
};

Workers &workers()
{
    static Workers &all = *new Workers;
    return all;
}

} // namespace

void startSheetWorker(std::function<void()> work)
{
    Workers &all = workers();
    std::vector<std::thread> done;
    {
        std::lock_guard lock(all.mutex);
        done = all.takeFinished();
        const std::uint64_t id = all.nextId++;
        all.running.emplace(id, std::thread([&all, id, work = std::move(work)]() mutable {
                                work();
                                work = nullptr; // what it holds goes on this thread
                                std::lock_guard lock(all.mutex);
                                all.finished.push_back(id);
                                all.ended.notify_all();
                            }));
    }
    for (std::thread &thread : done)
        thread.join();
}

bool joinSheetWorkers(std::chrono::steady_clock::time_point deadline)
{
    Workers &all = workers();
    std::vector<std::thread> done;
    bool allEnded = false;
    {
        std::unique_lock lock(all.mutex);
        allEnded = all.ended.wait_until(lock, deadline, [&] { return all.finished.size() == all.running.size(); });
        done = all.takeFinished();
    }
    for (std::thread &thread : done)
        thread.join();
    return allEnded;
}

void endSheetWorkers(std::chrono::steady_clock::time_point deadline, int exitCode)
{
    if (joinSheetWorkers(deadline))
        return;
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

void ChangeNotifier::set(std::function<void()> notify)
{
    std::unique_lock lock(m_mutex);
    m_notify = std::move(notify);
    // A call under way on another thread is short: let it end (one on this
    // thread is the caller itself).
    m_idle.wait(lock, [&] {
        return std::all_of(m_calling.begin(), m_calling.end(),
                           [](std::thread::id id) { return id == std::this_thread::get_id(); });
    });
}

void ChangeNotifier::operator()()
{
    std::unique_lock lock(m_mutex);
    if (!m_notify)
        return;
    const auto notify = m_notify;
    m_calling.push_back(std::this_thread::get_id());
    lock.unlock();
    notify();
    lock.lock();
    m_calling.erase(std::find(m_calling.begin(), m_calling.end(), std::this_thread::get_id()));
    m_idle.notify_all();
}

} // namespace tallyo
