// "Data to Excel" and "Stop Record": record readings into a new workbook of a
// spreadsheet application, one per row down column A, pausing after each by
// the chosen interval, until stopped.
//
// The spreadsheet never holds the recording up: readings are handed over at
// the line's pace and reach the sheet when the application takes them, each
// once, at its own row. What the application never takes (it was closed, it
// crashed, it did not take them within the limit after the stop, or the
// program ends) is saved to a file in the user's documents folder, which the
// message names. Every wait on the application runs in the event loop, as the
// counter's waits do.
#pragma once

#include "counterlink.h"
#include "programlife.h"
#include "spreadsheet.h"

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tallyo {

struct RecorderOptions {
    // After "Stop Record" (or a failure of the line), how long the application
    // may go without answering any call (a write, a fit, a format) while
    // readings or calls still wait for it, before it is given up: a backlog
    // it drains is never cut.
    std::chrono::milliseconds stallLimit{30'000};
    // Where readings that never reached the sheet are saved; empty: the
    // user's documents folder.
    QString unwrittenFolder;
};

class Recorder : public QObject {
    Q_OBJECT
public:
    // intervalPosition: the selected position of the interval list, read
    // anew every turn (-1: typed text, no pause).
    Recorder(CounterLink &link, SpreadsheetFactory factory, std::function<int()> intervalPosition, ProgramLife &life,
             RecorderOptions options = {}, QObject *parent = nullptr);
    ~Recorder() override;

    // Runs one recording; returns when it has ended. Other handlers (Stop,
    // another recording) run nested inside its waits. A recording ended by a
    // failure throws the one message that says so.
    void record();
    // Sets the stop flag: every recording running now ends at the end of its
    // turn, or at once while its counter is silent (no reading was served).
    // Touches neither the port nor the sheet.
    void stop();
    // The stop flag: set by stop(), cleared when a recording starts, read at
    // the end of each turn by every recording running.
    bool stopRecord() const { return m_stopRecord; }
    // Recordings taking readings now (nested ones included).
    int running() const { return m_running; }

    // The application of the latest recording; empty until the first. An
    // earlier recording that resumes after a nested one keeps writing into
    // its own application.
    std::shared_ptr<SpreadsheetApp> excelApp() const { return m_excelApp; }

    // The process is ending without unwinding (exit() from inside a wait:
    // the display was lost): what the applications of the recordings running
    // take within the end budget stays in their sheets, the rest is saved to
    // a file named on standard error. No event loop runs.
    void saveBeforeExit();

signals:
    // A recording has started writing into a new workbook / has ended.
    void started();
    void ended();
    // A spreadsheet application's state changed (from any thread, queued here).
    void sheetChanged();

private:
    enum class Settled {
        Yes,
        Failed,
        TimedOut
    };

    std::shared_ptr<SpreadsheetApp> startSpreadsheet();
    void takeReadings(SpreadsheetApp &app);
    // Waits in the event loop until the application has written everything
    // handed to it, has failed, or has taken nothing for `stallLimit`.
    Settled waitUntilSettled(SpreadsheetApp &app, std::chrono::milliseconds stallLimit);
    // Ends a recording whose readings may still be on their way: waits for
    // them, and throws the message when they did not all reach the sheet.
    void finish(SpreadsheetApp &app);
    // The program is ending: the sheet has until shortly before the end
    // budget runs out, then what is left goes to a file.
    void finishForExit(SpreadsheetApp &app);
    // Throws `error`'s message, saying that the recording has ended and where
    // the readings that did not reach the sheet went.
    [[noreturn]] void failWithUnwritten(SpreadsheetApp &app, const SpreadsheetError &error);
    // Saves the cells of a given-up application, if any, and says where.
    std::string saveUnwritten(const std::vector<SheetCell> &cells);

    CounterLink &m_link;
    SpreadsheetFactory m_factory;
    std::function<int()> m_intervalPosition;
    bool m_stopRecord = false;
    // Stops so far: a recording that started before the last one has ended
    // (the flag alone is cleared by every recording that starts).
    quint64 m_stops = 0;
    // The applications of the recordings running, the innermost last.
    std::vector<SpreadsheetApp *> m_recordingInto;
    std::shared_ptr<SpreadsheetApp> m_excelApp;
    ProgramLife &m_life;
    RecorderOptions m_options;
    int m_running = 0;
    // The applications' change signal, from their threads: wakes waits
    // outside the event loop, and posts sheetChanged() while the recorder
    // lives (recorder is cleared, under the mutex, when it goes).
    struct SheetSignal {
        std::mutex mutex;
        std::condition_variable changed;
        Recorder *recorder = nullptr;
    };
    std::shared_ptr<SheetSignal> m_sheetSignal = std::make_shared<SheetSignal>();
};

} // namespace tallyo
