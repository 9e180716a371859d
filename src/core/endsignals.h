// The requests to end that reach a process from outside: SIGTERM (kill, a
// logout), SIGINT (Ctrl+C in the terminal that started it) and SIGHUP (that
// terminal closed); on Windows, Ctrl+C, Ctrl+Break and the console closing.
//
// The signal is turned into a Qt signal on the thread that made the watcher,
// in the event loop (self-pipe and QSocketNotifier), so the program ends the
// way its own EXIT does: the reading in flight lands, nothing is lost, the
// port and its locks are released. A second request of the same kind while
// the first is being served ends the process at once, the system's way.
#pragma once

#include <QObject>
#include <memory>

namespace tallyo {

class EndSignals : public QObject {
    Q_OBJECT
public:
    // Only one watcher may live at a time; it watches from construction to
    // destruction and restores the system's handling afterwards.
    explicit EndSignals(QObject *parent = nullptr);
    ~EndSignals() override;

    EndSignals(const EndSignals &) = delete;
    EndSignals &operator=(const EndSignals &) = delete;

signals:
    // A request to end arrived (emitted in the event loop, once per request).
    void endRequested(int signalNumber);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tallyo
