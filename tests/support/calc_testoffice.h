// A LibreOffice of a test's own, and a second user's look at it.
//
// CalcTestOffice gives the Calc module a private profile in a temporary
// folder, a pipe of its own, and windows only where there is a display. The office starts with the first
// application its factory creates, and is stopped, by process id, when the
// object goes (an office outlives the program that started it).
#pragma once

#include "calcoptions.h"
#include "calcprobe.h"
#include "sheetbackend.h"
#include "spreadsheetloader.h"

#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tallyo::test {

// Where the tests find their build of the Calc module, the one with the
// probe: $TALLYO_BUILD_DIR/tests/calc-module.
QString calcModuleDirectory();
// Empty when LibreOffice Calc can be driven here, else why not (for QSKIP).
QString calcUnavailableReason();
// The build was configured with TALLYO_REQUIRE_CALC: a Calc suite that
// cannot run fails instead of skipping.
bool calcRequired();

class CalcTestOffice {
public:
    CalcTestOffice();
    ~CalcTestOffice();
    CalcTestOffice(const CalcTestOffice &) = delete;
    CalcTestOffice &operator=(const CalcTestOffice &) = delete;

    CalcOptions calcOptions() const;
    SheetBackendOptions backendOptions() const;
    SpreadsheetLoaderOptions loaderOptions(QueueSettings queue = {}) const;
    SpreadsheetFactory factory(QueueSettings queue = {}) const;
    // The module's backend without the queue, started: calls block, on the
    // caller's thread.
    std::unique_ptr<SheetBackend> directBackend() const;

    // A second user of the office, which must be running.
    CalcProbe &inspector();
    // After the office was restarted.
    void reconnectInspector() { m_inspector.reset(); }
    // One for another thread.
    std::unique_ptr<CalcProbe> newInspector() const;

    // soffice.bin of this office; 0 when it does not run.
    qint64 officeProcessId() const;
    // Stops every process running on this office's profile.
    void stop();

private:
    std::vector<qint64> processIds() const;

    QTemporaryDir m_folder;
    std::string m_pipe;
    std::unique_ptr<CalcProbe> m_inspector;
};

// The one title in `after` that is not in `before`; empty unless exactly one.
std::string newWorkbook(const std::vector<std::string> &before, const std::vector<std::string> &after);

// A reading as the Calc module writes it: without its closing CR/LF.
std::string withoutLineEnd(const std::string &text);

} // namespace tallyo::test
