// The worker threads of the spreadsheet applications. Each is joined before
// the program's application object goes: a worker ends on its own once its
// spreadsheet application is let go of, and the program waits for that,
// within its end budget, after its window is gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tallyo {

// Runs `work` on a new worker thread, kept until joinSheetWorkers() (threads
// that have ended are joined here as well).
void startSheetWorker(std::function<void()> work);

// Waits until every worker has ended and joins them, or until `deadline`;
// true when none runs on.
bool joinSheetWorkers(std::chrono::steady_clock::time_point deadline);

// For main(): joins the workers by `deadline`; when one is still held in a
// call by then, ends the process at once with `exitCode` (nothing of the
// program is torn down under it).
void endSheetWorkers(std::chrono::steady_clock::time_point deadline, int exitCode);

// A callback a worker calls, which another thread may replace or clear at
// any time: once set() returns, the previous callback is not running on
// another thread and is never called again.
class ChangeNotifier {
public:
    void set(std::function<void()> notify);
    // Calls the callback, if any; call it with no lock held that the callback
    // or a set() caller may wait for.
    void operator()();

private:
    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::function<void()> m_notify;
    std::vector<std::thread::id> m_calling;
};

} // namespace tallyo
