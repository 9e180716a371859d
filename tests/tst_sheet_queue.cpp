// The call queue between the recording and any spreadsheet backend, against
// a backend that keeps a journal: order, batching, a busy or frozen
// application, failures part-way, giving up, threads.
#include "columnrange.h"
#include "queuedspreadsheet.h"
#include "sheet_fakebackend.h"
#include "sheetworkers.h"

#include <QTest>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace tallyo;
using namespace tallyo::test;
using Kind = FakeSheetCall::Kind;
using namespace std::chrono_literals;

namespace {

QueuedSpreadsheet::BackendFactory fake(const std::shared_ptr<FakeSheetJournal> &journal)
{
    return [journal] { return std::make_unique<FakeSheetBackend>(journal); };
}

std::unique_ptr<QueuedSpreadsheet> makeQueue(const std::shared_ptr<FakeSheetJournal> &journal,
                                             QueueSettings settings = {})
{
    return std::make_unique<QueuedSpreadsheet>(fake(journal), settings);
}

// What the window's recording does each turn.
void recordTurn(SpreadsheetApp &app, long long row, const std::string &text)
{
    app.setCellFormula(row, 1, text);
    app.autoFitColumns("A:AY");
    app.setSelectionNumberFormat("0");
}

std::string reading(long long row)
{
    return "  " + std::to_string(row) + " Hz\r";
}

std::vector<Kind> kinds(const std::vector<FakeSheetCall> &calls)
{
    std::vector<Kind> out;
    for (const FakeSheetCall &call : calls)
        out.push_back(call.kind);
    return out;
}

std::vector<std::string> asWrites(const std::vector<SheetCell> &cells)
{
    std::vector<std::string> writes;
    for (const SheetCell &cell : cells)
        writes.push_back(std::to_string(cell.row) + "," + std::to_string(cell.column) + "=" + cell.text);
    return writes;
}

int errorNumber(const std::optional<SpreadsheetError> &error)
{
    return error ? error->number : 0;
}

int thrownNumber(const std::function<void()> &call)
{
    try {
        call();
    } catch (const SpreadsheetError &e) {
        return e.number;
    }
    return 0;
}

} // namespace

class TestSheetQueue : public QObject {
    Q_OBJECT

private slots:
    void columnRanges_data();
    void columnRanges();
    void everyCellOnceInOrderOnOneWorker();
    void refreshesAreCoalescedButLandLast();
    void newWorkbookTakesOwedRefreshFirst();
    void frozenApplicationDelaysButLosesNothing();
    void failurePartWayKeepsEveryCellOnce();
    void applicationGoneInAWriteMarksItsCellsMaybe();
    void startFailuresComeThroughFailure();
    void givingUpNeverWaits();
    void callsOutsideTheSheetAreRefused();
    void workersEndOnceLetGo();
};

void TestSheetQueue::columnRanges_data()
{
    QTest::addColumn<QString>("range");
    QTest::addColumn<int>("first"); // 0: not a range
    QTest::addColumn<int>("last");
    QTest::newRow("recording") << "A:AY" << 1 << 51;
    QTest::newRow("one column") << "C" << 3 << 3;
    QTest::newRow("lower case") << "b:d" << 2 << 4;
    QTest::newRow("reversed") << "AY:A" << 1 << 51;
    QTest::newRow("last column") << "XFD" << 16384 << 16384;
    QTest::newRow("beyond XFD") << "XFE" << 0 << 0;
    QTest::newRow("empty") << "" << 0 << 0;
    QTest::newRow("open end") << "A:" << 0 << 0;
    QTest::newRow("cell, not column") << "A1:B2" << 0 << 0;
}

void TestSheetQueue::columnRanges()
{
    QFETCH(QString, range);
    QFETCH(int, first);
    QFETCH(int, last);
    const auto span = parseColumnRange(range.toStdString());
    QCOMPARE(span.has_value(), first != 0);
    if (span) {
        QCOMPARE(span->first, first);
        QCOMPARE(span->last, last);
        QVERIFY(parseColumnRange(columnLetters(first) + ":" + columnLetters(last)) == span);
    }
}

void TestSheetQueue::everyCellOnceInOrderOnOneWorker()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    // Created on one thread, used on another, as the window may do.
    std::unique_ptr<QueuedSpreadsheet> app;
    std::thread([&] { app = makeQueue(journal); }).join();
    std::atomic<int> notified{0};
    app->setChangeNotifier([&] { ++notified; });

    std::vector<std::string> expected;
    app->setVisible(true);
    app->addWorkbook();
    for (int row = 1; row <= 10'000; ++row) {
        recordTurn(*app, row, reading(row));
        expected.push_back(std::to_string(row) + ",1=" + reading(row));
        if (row % 97 == 0) { // breaks a run of consecutive rows
            app->setCellFormula(row, 2, "note");
            expected.push_back(std::to_string(row) + ",2=note");
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(app->settled(), 60'000);

    QVERIFY(app->started());
    QCOMPARE(errorNumber(app->failure()), 0);
    QVERIFY(app->unwritten().empty());
    QVERIFY(notified > 0);
    QCOMPARE(journal->writes(), expected);
    const auto calls = journal->calls();
    QVERIFY(journal->createdOn() != std::this_thread::get_id());
    for (const FakeSheetCall &call : calls)
        QVERIFY(call.thread == journal->createdOn());
    QCOMPARE(kinds({calls.begin(), calls.begin() + 3}), (std::vector{Kind::Start, Kind::Visible, Kind::AddWorkbook}));
    // Settled means the fit and the format came after the last write.
    const auto tail = kinds({calls.end() - 2, calls.end()});
    QCOMPARE(tail, (std::vector{Kind::AutoFit, Kind::NumberFormat}));

    // Let go of when settled: nothing given up.
    app.reset();
    QTRY_VERIFY(journal->destroyed());
    QVERIFY(!journal->cancelled());
}

void TestSheetQueue::refreshesAreCoalescedButLandLast()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->closeGate(); // everything below waits for the application's start
    auto app = makeQueue(journal);
    app->addWorkbook();
    for (int row = 1; row <= 500; ++row)
        recordTurn(*app, row, "x");
    journal->openGate();
    QTRY_VERIFY(app->settled());

    // One batch: one write of 500 rows, then one fit and one format.
    auto calls = journal->calls();
    QCOMPARE(kinds(calls),
             (std::vector{Kind::Start, Kind::AddWorkbook, Kind::Cells, Kind::AutoFit, Kind::NumberFormat}));
    QCOMPARE(calls[2].texts.size(), std::size_t(500));
    QCOMPARE(calls[3].first, 1LL);
    QCOMPARE(calls[3].second, 51);
    QCOMPARE(calls[4].texts, std::vector<std::string>{"0"});

    // Asked in the other order: the last range asked for is fitted, then the
    // last format is set.
    app->setCellFormula(501, 1, "y");
    app->setSelectionNumberFormat("0.00");
    app->autoFitColumns("B:C");
    QTRY_VERIFY(app->settled());
    calls = journal->calls();
    QCOMPARE(calls.size(), std::size_t(8));
    QCOMPARE(calls[6].kind, Kind::AutoFit);
    QCOMPARE(calls[6].first, 2LL);
    QCOMPARE(calls[7].texts, std::vector<std::string>{"0.00"});
}

void TestSheetQueue::newWorkbookTakesOwedRefreshFirst()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->closeGate();
    auto app = makeQueue(journal);
    app->addWorkbook();
    recordTurn(*app, 1, "first book");
    recordTurn(*app, 2, "first book, owed a fit");
    app->addWorkbook();
    app->setCellFormula(1, 1, "second book");
    journal->openGate();
    QTRY_VERIFY(app->settled());

    QCOMPARE(kinds(journal->calls()),
             (std::vector{Kind::Start, Kind::AddWorkbook, Kind::Cells, Kind::AutoFit, Kind::NumberFormat,
                          Kind::AddWorkbook, Kind::Cells}));
}

void TestSheetQueue::frozenApplicationDelaysButLosesNothing()
{
    constexpr long long Frozen = 100'000; // cells handed over while the application does not answer
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal);
    app->addWorkbook();
    for (int row = 1; row <= 5; ++row)
        recordTurn(*app, row, reading(row));
    QTRY_VERIFY(app->settled());

    journal->closeGate(); // busy with the user, saving, or stopped outright
    recordTurn(*app, 6, reading(6));
    QTRY_COMPARE(journal->waitingAtGate(), 1);
    // The caller never waits for room: another thread keeps handing over.
    std::atomic<bool> handedOver{false};
    std::thread recorder([&] {
        for (long long row = 7; row < 6 + Frozen; ++row)
            recordTurn(*app, row, reading(row));
        handedOver = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(handedOver, 120'000);
    recorder.join();

    QVERIFY(!app->settled());
    QCOMPARE(errorNumber(app->failure()), 0);
    std::vector<std::string> waiting;
    for (long long row = 6; row < 6 + Frozen; ++row)
        waiting.push_back(std::to_string(row) + ",1=" + reading(row));
    QCOMPARE(asWrites(app->unwritten()), waiting);

    journal->openGate(); // it answers again
    QTRY_VERIFY_WITH_TIMEOUT(app->settled(), 120'000);
    auto expected = cellWrites(1, 1, {reading(1), reading(2), reading(3), reading(4), reading(5)});
    expected.insert(expected.end(), waiting.begin(), waiting.end());
    QCOMPARE(journal->writes(), expected);
    QVERIFY(app->unwritten().empty());
}

void TestSheetQueue::failurePartWayKeepsEveryCellOnce()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    // The workbook is closed while the application writes r50 of a batch.
    journal->setHook([](const FakeSheetCall &call) {
        for (std::size_t i = 0; i < call.texts.size(); ++i) {
            if (call.texts[i] == "r50")
                throw SpreadsheetError(SpreadsheetErrorNumber::DocumentGone, "The workbook was closed.", i);
        }
    });
    auto app = makeQueue(journal);
    std::atomic<int> failuresSeen{0};
    app->setChangeNotifier([&] { failuresSeen += app->failure().has_value(); });
    QTRY_VERIFY(app->started());
    journal->closeGate(); // the rows pile up into batches
    std::vector<std::string> handed;
    for (int row = 1; row <= 100; ++row) {
        app->setCellFormula(row, 1, "r" + std::to_string(row));
        handed.push_back(std::to_string(row) + ",1=r" + std::to_string(row));
    }
    journal->openGate();
    QTRY_VERIFY(failuresSeen > 0);
    // Handed over after the failure: kept, never sent.
    app->setCellFormula(101, 1, "r101");
    handed.push_back("101,1=r101");
    app->autoFitColumns("A:AY");

    const auto failure = app->failure();
    QCOMPARE(errorNumber(failure), SpreadsheetErrorNumber::DocumentGone);
    QCOMPARE(std::string(failure->what()), std::string("The workbook was closed."));
    QVERIFY(!app->settled());
    auto inSheetThenUnwritten = journal->writes();
    QCOMPARE(inSheetThenUnwritten.back(), std::string("49,1=r49"));
    const auto unwritten = asWrites(app->unwritten());
    inSheetThenUnwritten.insert(inSheetThenUnwritten.end(), unwritten.begin(), unwritten.end());
    QCOMPARE(inSheetThenUnwritten, handed);
    QCOMPARE(journal->count(Kind::AutoFit), 0);

    // A failure that is not a SpreadsheetError reaches the user as one.
    auto other = std::make_shared<FakeSheetJournal>();
    other->setHook([](const FakeSheetCall &call) {
        if (call.kind == Kind::AutoFit)
            throw std::runtime_error("column widths unavailable");
    });
    auto second = makeQueue(other);
    recordTurn(*second, 1, "x");
    QTRY_VERIFY(second->failure().has_value());
    QCOMPARE(second->failure()->number, SpreadsheetErrorNumber::CallFailed);
    QVERIFY2(std::string(second->failure()->what()).find("column widths unavailable") != std::string::npos,
             second->failure()->what());
    QVERIFY(second->unwritten().empty()); // the cell was written before the fit failed
}

void TestSheetQueue::applicationGoneInAWriteMarksItsCellsMaybe()
{
    // The application goes away while it writes r50 of a batch: the cells
    // from r50 to the batch's end may be in the sheet, those after are not.
    auto journal = std::make_shared<FakeSheetJournal>();
    std::atomic<long long> batchEnd{0};
    journal->setHook([&](const FakeSheetCall &call) {
        for (std::size_t i = 0; i < call.texts.size(); ++i) {
            if (call.texts[i] == "r50") {
                batchEnd = call.first + static_cast<long long>(call.texts.size()) - 1;
                throw SpreadsheetError(SpreadsheetErrorNumber::ApplicationGone, "Excel quit.", i,
                                       call.texts.size() - i);
            }
        }
    });
    auto app = makeQueue(journal);
    QTRY_VERIFY(app->started());
    journal->closeGate();
    for (int row = 1; row <= 100; ++row)
        app->setCellFormula(row, 1, "r" + std::to_string(row));
    journal->openGate();
    QTRY_VERIFY(app->failure().has_value());
    app->setCellFormula(101, 1, "r101");
    QVERIFY(batchEnd >= 50);
    const std::vector<SheetCell> unwritten = app->unwritten();
    QCOMPARE(unwritten.size(), std::size_t(52));
    for (const SheetCell &cell : unwritten)
        QVERIFY2(cell.inFlight == (cell.row <= batchEnd), cell.text.c_str());
}

void TestSheetQueue::startFailuresComeThroughFailure()
{
    const auto failing = [](int number) {
        return [number]() -> std::unique_ptr<SheetBackend> {
            throw SpreadsheetError(number, "no " + std::to_string(number));
        };
    };
    QueuedSpreadsheet cannotStart(failing(SpreadsheetErrorNumber::StartFailed));
    QTRY_VERIFY(cannotStart.failure().has_value());
    QCOMPARE(cannotStart.failure()->number, SpreadsheetErrorNumber::StartFailed);
    QVERIFY(!cannotStart.started());

    QueuedSpreadsheet nothing([] { return std::unique_ptr<SheetBackend>(); });
    QTRY_COMPARE(errorNumber(nothing.failure()), SpreadsheetErrorNumber::NotInstalled);

    // A backend that is not installed lets the next one try; when none can,
    // the first one's message is the one the user reads.
    auto journal = std::make_shared<FakeSheetJournal>();
    QueuedSpreadsheet secondChoice({failing(SpreadsheetErrorNumber::NotInstalled), fake(journal)});
    QTRY_VERIFY(secondChoice.started());
    QueuedSpreadsheet neither({failing(SpreadsheetErrorNumber::NotInstalled), [] {
                                   throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled, "not this either");
                                   return std::unique_ptr<SheetBackend>();
                               }});
    QTRY_VERIFY(neither.failure().has_value());
    QCOMPARE(std::string(neither.failure()->what()), std::string("no 429"));
}

void TestSheetQueue::givingUpNeverWaits()
{
    // While a call hangs in the application.
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal);
    app->addWorkbook();
    QTRY_VERIFY(app->settled());
    journal->closeGate();
    for (int row = 1; row <= 100; ++row)
        recordTurn(*app, row, reading(row));
    QTRY_COMPARE(journal->waitingAtGate(), 1);
    app->abandon(); // returns although the call never ends by itself
    QCOMPARE(errorNumber(app->failure()), SpreadsheetErrorNumber::Abandoned);
    QVERIFY(journal->cancelled());
    app->setCellFormula(101, 1, reading(101));
    std::vector<std::string> all;
    for (int row = 1; row <= 101; ++row)
        all.push_back(std::to_string(row) + ",1=" + reading(row));
    QCOMPARE(asWrites(app->unwritten()), all);
    QTRY_VERIFY(journal->destroyed()); // let go of on its own thread
    QVERIFY(journal->writes().empty());

    // While the application starts.
    auto starting = std::make_shared<FakeSheetJournal>();
    starting->closeGate();
    auto late = makeQueue(starting);
    QTRY_COMPARE(starting->waitingAtGate(), 1);
    late->abandon();
    QTRY_VERIFY(starting->destroyed());
    QVERIFY(!late->started());
    QCOMPARE(errorNumber(late->failure()), SpreadsheetErrorNumber::Abandoned);

    // Destroyed with calls pending: as abandon().
    auto busy = std::make_shared<FakeSheetJournal>();
    auto dropped = makeQueue(busy);
    busy->closeGate();
    recordTurn(*dropped, 1, reading(1));
    QTRY_COMPARE(busy->waitingAtGate(), 1);
    dropped.reset();
    QVERIFY(busy->cancelled());
    QTRY_VERIFY(busy->destroyed());
}

void TestSheetQueue::callsOutsideTheSheetAreRefused()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal);
    QTRY_VERIFY(app->started());
    QCOMPARE(app->lastRow(), FakeSheetBackend::LastRow);
    const long long last = app->lastRow();
    for (auto [row, column] : {std::pair{0LL, 1}, {last + 1, 1}, {1LL, 0}, {1LL, MaxSheetColumn + 1}, {-5LL, -5}}) {
        QCOMPARE(thrownNumber([&] { app->setCellFormula(row, column, "x"); }), SpreadsheetErrorNumber::CallFailed);
    }
    QCOMPARE(thrownNumber([&] { app->autoFitColumns("A1:AY1"); }), SpreadsheetErrorNumber::CallFailed);
    app->setCellFormula(last, MaxSheetColumn, "corner");
    QTRY_VERIFY(app->settled());
    QCOMPARE(journal->writes(), std::vector<std::string>{std::to_string(last) + ",16384=corner"});
}

void TestSheetQueue::workersEndOnceLetGo()
{
    // Let go of while the application holds a call and ignores the cancel:
    // that worker runs on, and is joined once the call ends.
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->answerAfterCancel();
    auto app = makeQueue(journal);
    QTRY_VERIFY(app->started());
    journal->closeGate();
    app->setCellFormula(1, 1, "x");
    QTRY_COMPARE(journal->waitingAtGate(), 1);
    app.reset();
    QVERIFY(journal->cancelled());
    QVERIFY(!joinSheetWorkers(std::chrono::steady_clock::now()));
    journal->openGate();
    QVERIFY(joinSheetWorkers(std::chrono::steady_clock::now() + 60s));
    QVERIFY(journal->destroyed());
    QCOMPARE(journal->writes(), std::vector<std::string>{"1,1=x"});
}

QTEST_GUILESS_MAIN(TestSheetQueue)
#include "tst_sheet_queue.moc"
