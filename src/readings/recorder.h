// "Data to Excel" and "Stop Record": record readings into a new workbook of a
// spreadsheet application, one per row down column A, pausing after each by
// the chosen interval, until stopped.
#pragma once

#include "counterlink.h"
#include "programlife.h"
#include "spreadsheet.h"

#include <QObject>
#include <functional>
#include <memory>

namespace tallyo {

class Recorder : public QObject {
    Q_OBJECT
public:
    // intervalPosition: the selected position of the interval list, read
    // anew every turn (-1: typed text, no pause). stopRecord: the window's
    // flag, cleared when a recording starts and read at the end of each turn.
    Recorder(CounterLink &link, SpreadsheetFactory factory, std::function<int()> intervalPosition,
             bool &stopRecord, ProgramLife &life, QObject *parent = nullptr);

    // Runs one recording; returns when it has ended. Other handlers (Stop,
    // another recording) run nested inside its waits.
    void record();
    // Sets the stop flag and nothing else.
    void stop() { m_stopRecord = true; }

    // The application of the latest recording; empty until the first.
    std::unique_ptr<SpreadsheetApp> excelApp;

signals:
    // A recording has started writing into a new workbook / has ended.
    void started();
    void ended();

private:
    std::unique_ptr<SpreadsheetApp> startSpreadsheet();
    void takeReadings();

    CounterLink &m_link;
    SpreadsheetFactory m_factory;
    std::function<int()> m_intervalPosition;
    bool &m_stopRecord;
    ProgramLife &m_life;
};

} // namespace tallyo
