// The call queue between the recording and a spreadsheet backend, against a
// backend that keeps a journal: order, coalescing, failures, stalls, threads.
#include "calc_fakebackend.h"
#include "columnrange.h"
#include "queuedspreadsheet.h"

#include <QTest>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

using namespace tallyo;
using namespace tallyo::test;
using Kind = FakeSheetCall::Kind;
using namespace std::chrono_literals;

namespace {

QueueSettings rarely()
{
    QueueSettings settings;
    settings.refreshInterval = 1h; // after the first, only when owed at a barrier or finish()
    return settings;
}

std::unique_ptr<QueuedSpreadsheet> makeQueue(const std::shared_ptr<FakeSheetJournal> &journal,
                                             QueueSettings settings = {})
{
    return std::make_unique<QueuedSpreadsheet>(
        [journal] { return std::make_unique<FakeSheetBackend>(journal); }, settings);
}

// What the window's recording does each turn.
void recordTurn(SpreadsheetApp &app, int row, const std::string &text)
{
    app.setCellFormula(row, 1, text);
    app.autoFitColumns("A:AY");
    app.setSelectionNumberFormat("0");
}

int indexOfLast(const std::vector<FakeSheetCall> &calls, Kind kind)
{
    for (int i = static_cast<int>(calls.size()) - 1; i >= 0; --i) {
        if (calls[static_cast<std::size_t>(i)].kind == kind)
            return i;
    }
    return -1;
}

int spreadsheetErrorNumber(const std::function<void()> &call)
{
    try {
        call();
    } catch (const SpreadsheetError &e) {
        return e.number;
    }
    return 0;
}

} // namespace

class TestCalcQueue : public QObject {
    Q_OBJECT

private slots:
    void columnRanges_data();
    void columnRanges();
    void everyCellOnceInOrderOnOneWorker();
    void refreshesAreCoalescedButLandLast();
    void newWorkbookTakesOwedRefreshFirst();
    void failureIsThrownOnceAndLaterCallsRun();
    void foreignExceptionsBecomeCallFailed();
    void creationFailuresReachTheCaller();
    void stalledApplicationIsReportedGone();
    void destroyingDropsWhatIsNotCarriedOut();
    void callsOutsideTheSheetAreRefused();
};

void TestCalcQueue::columnRanges_data()
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

void TestCalcQueue::columnRanges()
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

void TestCalcQueue::everyCellOnceInOrderOnOneWorker()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    // Created on one thread, used on another, as the window may do.
    std::unique_ptr<QueuedSpreadsheet> app;
    std::thread([&] { app = makeQueue(journal); }).join();

    std::vector<std::string> expected;
    app->setVisible(true);
    app->addWorkbook();
    for (int row = 1; row <= 10'000; ++row) {
        const std::string text = "  " + std::to_string(row) + " Hz\r";
        recordTurn(*app, row, text);
        expected.push_back(std::to_string(row) + ",1=" + text);
        if (row % 97 == 0) { // breaks a run of consecutive rows
            app->setCellFormula(row, 2, "note");
            expected.push_back(std::to_string(row) + ",2=note");
        }
    }
    app->finish();

    QCOMPARE(journal->writes(), expected);
    const auto calls = journal->calls();
    QVERIFY(journal->createdOn() != std::this_thread::get_id());
    for (const FakeSheetCall &call : calls)
        QVERIFY(call.thread == journal->createdOn());
    QCOMPARE(calls.at(0).kind, Kind::Visible);
    QCOMPARE(calls.at(1).kind, Kind::AddWorkbook);
    // finish() left the refreshes after the last write
    QVERIFY(indexOfLast(calls, Kind::AutoFit) > indexOfLast(calls, Kind::Cells));
    QVERIFY(indexOfLast(calls, Kind::NumberFormat) > indexOfLast(calls, Kind::Cells));

    app.reset();
    QVERIFY(journal->destroyed());
}

void TestCalcQueue::refreshesAreCoalescedButLandLast()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal, rarely());
    app->addWorkbook();
    for (int row = 1; row <= 500; ++row)
        recordTurn(*app, row, "x");
    app->finish();

    // The first refresh runs as soon as its cells are written, the rest wait
    // for finish(): two of each at most (one if the worker took all at once).
    QVERIFY(journal->count(Kind::AutoFit) <= 2);
    QVERIFY(journal->count(Kind::NumberFormat) <= 2);
    auto calls = journal->calls();
    QCOMPARE(calls.back().kind, Kind::NumberFormat); // asked for last in each turn
    QCOMPARE(calls.back().texts, std::vector<std::string>{"0"});
    QCOMPARE(calls[calls.size() - 2].kind, Kind::AutoFit);
    QCOMPARE(calls[calls.size() - 2].first, 1);
    QCOMPARE(calls[calls.size() - 2].second, 51);

    // Asked in the other order, they run in the other order.
    app->setCellFormula(501, 1, "y");
    app->setSelectionNumberFormat("0.00");
    app->autoFitColumns("B:C");
    app->finish();
    calls = journal->calls();
    QCOMPARE(calls.back().kind, Kind::AutoFit);
    QCOMPARE(calls.back().first, 2);
    QCOMPARE(calls[calls.size() - 2].texts, std::vector<std::string>{"0.00"});

    // Nothing owed, nothing done.
    const auto before = journal->calls().size();
    app->finish();
    QCOMPARE(journal->calls().size(), before);
}

void TestCalcQueue::newWorkbookTakesOwedRefreshFirst()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal, rarely());
    app->addWorkbook();
    recordTurn(*app, 1, "first book");
    recordTurn(*app, 2, "first book, owed a fit");
    app->addWorkbook();
    app->setCellFormula(1, 1, "second book");
    app->finish();

    const auto calls = journal->calls();
    int secondBook = -1;
    for (int i = 1; i < static_cast<int>(calls.size()); ++i) {
        if (calls[static_cast<std::size_t>(i)].kind == Kind::AddWorkbook)
            secondBook = i;
    }
    QVERIFY(secondBook > 0);
    QCOMPARE(calls[static_cast<std::size_t>(secondBook) - 1].kind, Kind::NumberFormat);
    QCOMPARE(calls[static_cast<std::size_t>(secondBook) - 2].kind, Kind::AutoFit);
    QCOMPARE(calls[static_cast<std::size_t>(secondBook) + 1].kind, Kind::Cells);
    // nothing was asked for after the second workbook's cell
    QCOMPARE(calls.back().kind, Kind::Cells);
}

void TestCalcQueue::failureIsThrownOnceAndLaterCallsRun()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->setHook([](const FakeSheetCall &call) {
        for (const std::string &text : call.texts) {
            if (text == "r3")
                throw SpreadsheetError(SpreadsheetErrorNumber::DocumentGone, "The workbook was closed.");
        }
    });
    journal->closeGate(); // the calls pile up behind the first
    auto app = makeQueue(journal);
    app->addWorkbook();
    for (int row = 1; row <= 20; ++row)
        app->setCellFormula(row, 1, "r" + std::to_string(row));
    journal->openGate();

    int number = 0;
    for (int row = 21; row <= 100'000 && number == 0; ++row)
        number = spreadsheetErrorNumber([&] { app->setCellFormula(row, 1, "late"); });
    if (number == 0)
        number = spreadsheetErrorNumber([&] { app->finish(); });
    QCOMPARE(number, SpreadsheetErrorNumber::DocumentGone);

    // Thrown once; the calls queued behind the failing one were dropped.
    QCOMPARE(spreadsheetErrorNumber([&] { app->finish(); }), 0);
    for (const std::string &write : journal->writes())
        QVERIFY2(write == "1,1=r1" || write == "2,1=r2", write.c_str());

    // Calls made after the failure was reported are carried out.
    journal->setHook({});
    app->setCellFormula(7, 1, "again");
    QCOMPARE(spreadsheetErrorNumber([&] { app->finish(); }), 0);
    QCOMPARE(journal->writes().back(), std::string("7,1=again"));
}

void TestCalcQueue::foreignExceptionsBecomeCallFailed()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->setHook([](const FakeSheetCall &call) {
        if (call.kind == Kind::AutoFit)
            throw std::runtime_error("column widths unavailable");
    });
    auto app = makeQueue(journal);
    try {
        // the failure surfaces at whichever call comes after it
        recordTurn(*app, 1, "x");
        app->finish();
        QFAIL("the failed AutoFit was not reported");
    } catch (const SpreadsheetError &e) {
        QCOMPARE(e.number, SpreadsheetErrorNumber::CallFailed);
        QVERIFY2(std::string(e.what()).find("column widths unavailable") != std::string::npos, e.what());
    }
}

void TestCalcQueue::creationFailuresReachTheCaller()
{
    QCOMPARE(spreadsheetErrorNumber([] {
                 QueuedSpreadsheet app([]() -> std::unique_ptr<SheetBackend> {
                     throw SpreadsheetError(SpreadsheetErrorNumber::StartFailed, "did not start");
                 });
             }),
             SpreadsheetErrorNumber::StartFailed);
    QCOMPARE(spreadsheetErrorNumber([] { QueuedSpreadsheet app([] { return std::unique_ptr<SheetBackend>(); }); }),
             SpreadsheetErrorNumber::NotInstalled);

    // A backend that never finishes starting: the caller gets an answer anyway.
    auto journal = std::make_shared<FakeSheetJournal>();
    auto started = std::make_shared<std::promise<void>>();
    QueueSettings settings;
    settings.createTimeout = 200ms;
    QCOMPARE(spreadsheetErrorNumber([&] {
                 QueuedSpreadsheet app(
                     [journal, starting = started->get_future().share()] {
                         starting.wait();
                         return std::make_unique<FakeSheetBackend>(journal);
                     },
                     settings);
             }),
             SpreadsheetErrorNumber::StartFailed);
    started->set_value();
    QTRY_VERIFY(journal->destroyed()); // the late backend is let go on its own thread
}

void TestCalcQueue::stalledApplicationIsReportedGone()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    QueueSettings settings;
    settings.maxPendingCalls = 4;
    settings.stallTimeout = 200ms;
    auto app = makeQueue(journal, settings);
    journal->closeGate(); // the application stops answering

    // The queue fills up, then the caller waits for room and gives up.
    int number = 0;
    int accepted = 0;
    while (number == 0 && accepted < 100) {
        number = spreadsheetErrorNumber([&] { app->setCellFormula(accepted + 1, 1, "x"); });
        accepted += number == 0;
    }
    QCOMPARE(number, SpreadsheetErrorNumber::ApplicationGone);
    // the queue's four, and what the worker took off it before it stuck
    QVERIFY2(accepted <= 2 * 4, "the queue held more calls than allowed");
    // The object stays dead.
    QCOMPARE(spreadsheetErrorNumber([&] { app->finish(); }), SpreadsheetErrorNumber::ApplicationGone);

    app.reset(); // does not wait for the stuck call
    QVERIFY(!journal->destroyed());
    journal->openGate();
    QTRY_VERIFY(journal->destroyed());
    QCOMPARE(journal->count(Kind::Cells), 1);
}

void TestCalcQueue::destroyingDropsWhatIsNotCarriedOut()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal);
    journal->closeGate();
    app->addWorkbook();
    for (int row = 1; row <= 100; ++row)
        recordTurn(*app, row, "x");
    QTRY_COMPARE(journal->waitingAtGate(), 1); // addWorkbook is in the application

    app.reset(); // gives the stuck call a moment, then lets go of it
    journal->openGate();
    QTRY_VERIFY(journal->destroyed());
    QCOMPARE(journal->count(Kind::AddWorkbook), 1);
    QCOMPARE(journal->count(Kind::Cells), 0);
    QCOMPARE(journal->count(Kind::AutoFit), 0);
}

void TestCalcQueue::callsOutsideTheSheetAreRefused()
{
    auto journal = std::make_shared<FakeSheetJournal>();
    auto app = makeQueue(journal);
    QCOMPARE(app->lastRow(), FakeSheetBackend::LastRow);
    const int last = app->lastRow();
    for (auto [row, column] : {std::pair{0, 1}, {last + 1, 1}, {1, 0}, {1, MaxSheetColumn + 1}, {-5, -5}}) {
        QCOMPARE(spreadsheetErrorNumber([&] { app->setCellFormula(row, column, "x"); }),
                 SpreadsheetErrorNumber::CallFailed);
    }
    QCOMPARE(spreadsheetErrorNumber([&] { app->autoFitColumns("A1:AY1"); }), SpreadsheetErrorNumber::CallFailed);
    app->setCellFormula(last, MaxSheetColumn, "corner");
    app->finish();
    QCOMPARE(journal->writes(), std::vector<std::string>{std::to_string(last) + ",16384=corner"});
}

QTEST_GUILESS_MAIN(TestCalcQueue)
#include "tst_calc_queue.moc"
