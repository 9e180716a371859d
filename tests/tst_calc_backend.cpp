// Recording into a real LibreOffice Calc: headless, a private profile per run,
// and every effect read back through a second UNO connection as another user
// of the office would see it. The office is stopped, killed and its workbook
// closed under a recording: nothing handed over is lost or written twice.
#include "calc_testoffice.h"
#include "queuedspreadsheet.h"
#include "spreadsheetloader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

using namespace tallyo;
using namespace tallyo::test;
using namespace std::chrono_literals;
using Cell = CalcProbe::Cell;
using CellKind = CalcProbe::CellKind;

namespace {

// A counter's reply as the recording hands it over.
std::string reading(long long n)
{
    char text[40];
    std::snprintf(text, sizeof text, "%13.7f MHz\r", 10.0 + double(n) * 1e-7);
    return text; // "   10.0000001 MHz\r"
}

// What the window's recording does each turn.
void recordTurn(SpreadsheetApp &app, long long row, const std::string &text)
{
    app.setCellFormula(row, 1, text);
    app.autoFitColumns("A:AY");
    app.setSelectionNumberFormat("0");
}

// Waits (on the event loop) until every call has had its effect, or the
// application failed; true if settled.
bool settle(SpreadsheetApp &app, std::chrono::milliseconds timeout = 60s)
{
    (void)QTest::qWaitFor([&] { return app.settled() || app.failure().has_value(); }, int(timeout.count()));
    return app.settled();
}

const char *failureText(const SpreadsheetApp &app)
{
    static std::string text;
    const auto failure = app.failure();
    text = failure ? failure->what() : "no failure, not settled";
    return text.c_str();
}

#define SETTLE(app) QVERIFY2(settle(app), failureText(app))

struct Recording {
    std::unique_ptr<SpreadsheetApp> app;
    std::string workbook; // its title
};

// create, Visible = True, Workbooks.Add; and which workbook that opened.
Recording startRecording(CalcTestOffice &office, const SpreadsheetFactory &factory)
{
    Recording recording{factory(), {}};
    (void)QTest::qWaitFor([&] { return recording.app->started() || recording.app->failure(); }, 120'000);
    if (!recording.app->started())
        return recording;
    recording.app->setVisible(true);
    const auto before = office.inspector().documentTitles();
    recording.app->addWorkbook();
    if (settle(*recording.app))
        recording.workbook = newWorkbook(before, office.inspector().documentTitles());
    return recording;
}

std::vector<Cell> expectedTexts(const std::vector<std::string> &texts)
{
    std::vector<Cell> cells;
    for (const std::string &text : texts)
        cells.push_back({withoutLineEnd(text), CellKind::Text});
    return cells;
}

std::vector<std::string> readings(long long first, long long last)
{
    std::vector<std::string> texts;
    for (long long row = first; row <= last; ++row)
        texts.push_back(reading(row));
    return texts;
}

QString describe(const std::vector<Cell> &actual, const std::vector<Cell> &expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("%1 cells instead of %2").arg(actual.size()).arg(expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (!(actual[i] == expected[i])) {
            return QStringLiteral("row %1: [%2] kind %3, expected [%4] kind %5")
                .arg(i + 1)
                .arg(QString::fromStdString(actual[i].formula))
                .arg(int(actual[i].kind))
                .arg(QString::fromStdString(expected[i].formula))
                .arg(int(expected[i].kind));
        }
    }
    return {};
}

#define COMPARE_CELLS(actual, expected)                                                                                \
    do {                                                                                                               \
        const QString mismatch = describe(actual, expected);                                                           \
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));                                                            \
    } while (false)

// A backend whose calls wait at a gate the test holds, before they reach the
// real one: the test chooses the moment between two calls at which the
// workbook or the office goes away.
class Gate {
public:
    void close()
    {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_wake.notify_all();
    }
    int waiting() const
    {
        std::lock_guard lock(m_mutex);
        return m_waiting;
    }
    void pass()
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_wake.wait(lock, [this] { return m_open; });
        --m_waiting;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_open = true;
    int m_waiting = 0;
};

class GatedBackend final : public SheetBackend {
public:
    GatedBackend(std::unique_ptr<SheetBackend> backend, std::shared_ptr<Gate> gate)
        : m_backend(std::move(backend)), m_gate(std::move(gate))
    {}
    std::string applicationName() const override { return m_backend->applicationName(); }
    long long lastRow() const override { return m_backend->lastRow(); }
    void start() override { m_backend->start(); }
    void setVisible(bool visible) override
    {
        m_gate->pass();
        m_backend->setVisible(visible);
    }
    void addWorkbook() override
    {
        m_gate->pass();
        m_backend->addWorkbook();
    }
    void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts) override
    {
        m_gate->pass();
        m_backend->setCellFormulas(firstRow, column, texts);
    }
    void autoFitColumns(int first, int last) override
    {
        m_gate->pass();
        m_backend->autoFitColumns(first, last);
    }
    void setSelectionNumberFormat(const std::string &code) override
    {
        m_gate->pass();
        m_backend->setSelectionNumberFormat(code);
    }
    void cancel() override { m_backend->cancel(); }

private:
    std::unique_ptr<SheetBackend> m_backend;
    std::shared_ptr<Gate> m_gate;
};

SpreadsheetFactory gatedFactory(CalcTestOffice &office, std::shared_ptr<Gate> gate)
{
    return [&office, gate]() -> std::unique_ptr<SpreadsheetApp> {
        return std::make_unique<QueuedSpreadsheet>([&office, gate]() -> std::unique_ptr<SheetBackend> {
            const auto create = reinterpret_cast<SheetBackendCreateFunction>(
                resolveSheetModuleSymbol(calcModuleDirectory().toStdString(), "calc", SheetBackendCreateSymbol));
            return std::make_unique<GatedBackend>(std::unique_ptr<SheetBackend>(create(office.backendOptions())), gate);
        });
    };
}

#define REQUIRE_CALC()                                                                                                 \
    do {                                                                                                               \
        if (!m_office) {                                                                                               \
            if (calcRequired())                                                                                        \
                QFAIL(qPrintable(m_unavailable));                                                                      \
            QSKIP(qPrintable(m_unavailable));                                                                          \
        }                                                                                                              \
    } while (false)

} // namespace

class TestCalcBackend : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void readingsAreWrittenAsTheyRead();
    void recordingKeepsEveryRowInOrder();
    void autoFitWidensTheRecordedColumns();
    void numberFormatGoesToTheSelectionOnly();
    void eachApplicationGetsItsOwnWorkbook();
    void workbookWindowShowsWithVisible();
    void rowsFollowTheActiveSheet();
    void frozenOfficeOnlyDelaysTheRows();
    void goneWorkbookOrOfficeLosesNoCell_data();
    void goneWorkbookOrOfficeLosesNoCell();
    void givingUpDuringTheStartEndsTheOfficeItStarted();
    void cancelEndsACallAFrozenOfficeHolds();
    void missingPiecesAreReported_data();
    void missingPiecesAreReported();

private:
    QString m_unavailable;
    std::unique_ptr<CalcTestOffice> m_office; // shared by the tests that leave it running
    SpreadsheetFactory m_factory;
};

void TestCalcBackend::initTestCase()
{
    m_unavailable = calcUnavailableReason();
    if (!m_unavailable.isEmpty())
        return; // each test that needs Calc skips (or fails, where Calc is required); the others run
    m_office = std::make_unique<CalcTestOffice>();
    m_factory = m_office->factory();
}

void TestCalcBackend::cleanupTestCase()
{
    m_office.reset();
}

void TestCalcBackend::readingsAreWrittenAsTheyRead()
{
    REQUIRE_CALC();
    // The backend itself: one cell per call, and a run of rows in one call.
    const auto backend = m_office->directBackend();
    QCOMPARE(backend->lastRow(), 1'048'576LL);
    backend->setVisible(true);
    const auto before = m_office->inspector().documentTitles();
    backend->addWorkbook();
    const std::string workbook = newWorkbook(before, m_office->inspector().documentTitles());
    QVERIFY(!workbook.empty());

    const std::vector<std::string> texts = {
        "   10.0000123 MHz\r", // leading spaces kept, a text, one line: no CR in the cell
        "  1234.5679 µHz ±\r\n", // UTF-8 beyond ASCII; CR LF both go
        "  10.5\r", // a number, once the CR is gone
        "+1.5", // numbers with a sign stay numbers
        "-3\r",
        "=2*3\r", // never a reading: kept as text, not evaluated
        " =1+1", // not a formula either: it does not start with '='
        "=WEBSERVICE(\"http://example.invalid\")",
        "+1+2", // Calc evaluates only what begins with '='
    };
    const std::vector<Cell> expected = {
        {"   10.0000123 MHz", CellKind::Text},
        {"  1234.5679 µHz ±", CellKind::Text},
        {"10.5", CellKind::Value},
        {"1.5", CellKind::Value},
        {"-3", CellKind::Value},
        {"=2*3", CellKind::Text},
        {" =1+1", CellKind::Text},
        {"=WEBSERVICE(\"http://example.invalid\")", CellKind::Text},
        {"+1+2", CellKind::Text},
    };
    for (std::size_t i = 0; i < texts.size(); ++i)
        backend->setCellFormulas(static_cast<long long>(i) + 1, 1, {texts[i]});
    backend->setCellFormulas(1, 2, texts);

    CalcProbe &sheet = m_office->inspector();
    const int rows = static_cast<int>(texts.size());
    COMPARE_CELLS(sheet.column(workbook, 1, 1, 1, rows), expected);
    COMPARE_CELLS(sheet.column(workbook, 1, 2, 1, rows), expected);

    // The sheet's far corner.
    backend->setCellFormulas(1'048'576, 16'384, {reading(1)});
    COMPARE_CELLS(sheet.column(workbook, 1, 16'384, 1'048'576, 1'048'576), expectedTexts({reading(1)}));
}

void TestCalcBackend::recordingKeepsEveryRowInOrder()
{
    REQUIRE_CALC();
    Recording recording = startRecording(*m_office, m_factory);
    QVERIFY(!recording.workbook.empty());

    constexpr int Rows = 2000;
    const auto texts = readings(1, Rows);
    for (int row = 1; row <= Rows; ++row)
        recordTurn(*recording.app, row, texts[row - 1]);
    SETTLE(*recording.app);

    CalcProbe &sheet = m_office->inspector();
    auto expected = expectedTexts(texts);
    expected.push_back({});
    COMPARE_CELLS(sheet.column(recording.workbook, 1, 1, 1, Rows + 1), expected);
    QCOMPARE(sheet.sheetCount(recording.workbook), 1);
}

void TestCalcBackend::autoFitWidensTheRecordedColumns()
{
    REQUIRE_CALC();
    Recording recording = startRecording(*m_office, m_factory);
    const std::string wide = "WWWWWWWWWWWWWWWWWWWWWWWW";
    recording.app->setCellFormula(1, 51, wide); // AY: fitted
    recording.app->setCellFormula(1, 52, wide); // AZ: beyond the range
    for (int row = 1; row <= 5; ++row)
        recordTurn(*recording.app, row, reading(row) + " (gate 10 s)");
    SETTLE(*recording.app);

    const auto widths = m_office->inspector().columnWidths(recording.workbook, 1, 1, 53);
    const int standard = widths[52]; // BA: untouched
    QVERIFY2(widths[0] > standard, "column A was not widened");
    QVERIFY2(widths[50] > standard, "column AY was not widened");
    QCOMPARE(widths[51], standard); // AZ keeps its width
    QCOMPARE(widths[1], standard); // an empty column in the range keeps the standard width
}

void TestCalcBackend::numberFormatGoesToTheSelectionOnly()
{
    REQUIRE_CALC();
    using Range = CalcProbe::FormattedRange;

    // A new workbook's selection is A1.
    Recording first = startRecording(*m_office, m_factory);
    CalcProbe &sheet = m_office->inspector();
    for (int row = 1; row <= 3; ++row)
        recordTurn(*first.app, row, reading(row));
    SETTLE(*first.app);
    QCOMPARE(sheet.selection(first.workbook), std::string("A1"));
    const std::vector<Range> onlyA1 = {{"A1", "0"}};
    QVERIFY(sheet.formattedRanges(first.workbook, 1) == onlyA1);

    // The user selects cells of their own before the recording goes on.
    Recording second = startRecording(*m_office, m_factory);
    sheet.select(second.workbook, "B2:C5");
    for (int row = 1; row <= 3; ++row)
        recordTurn(*second.app, row, reading(row));
    SETTLE(*second.app);
    QCOMPARE(sheet.selection(second.workbook), std::string("B2:C5"));
    const auto formatted = sheet.formattedRanges(second.workbook, 1);
    const std::vector<Range> onlySelection = {{"B2:C5", "0"}};
    QVERIFY2(formatted == onlySelection,
             formatted.empty() ? "nothing formatted" : (formatted[0].range + " " + formatted[0].formatCode).c_str());
}

void TestCalcBackend::eachApplicationGetsItsOwnWorkbook()
{
    REQUIRE_CALC();
    Recording first = startRecording(*m_office, m_factory);
    CalcProbe &sheet = m_office->inspector();
    const auto firstTexts = readings(1, 5);
    for (int row = 1; row <= 5; ++row)
        recordTurn(*first.app, row, firstTexts[row - 1]);
    SETTLE(*first.app);
    first.app.reset(); // the program lets go: the workbook stays, unsaved

    Recording second = startRecording(*m_office, m_factory);
    QVERIFY(!second.workbook.empty());
    QVERIFY(second.workbook != first.workbook);
    const auto secondTexts = readings(101, 103);
    for (int row = 1; row <= 3; ++row)
        recordTurn(*second.app, row, secondTexts[row - 1]);
    SETTLE(*second.app);

    const auto titles = sheet.documentTitles();
    QVERIFY(std::find(titles.begin(), titles.end(), first.workbook) != titles.end());
    COMPARE_CELLS(sheet.column(first.workbook, 1, 1, 1, 5), expectedTexts(firstTexts));
    QCOMPARE(sheet.lastUsedRow(first.workbook, 1), 5);
    COMPARE_CELLS(sheet.column(second.workbook, 1, 1, 1, 3), expectedTexts(secondTexts));
    QCOMPARE(sheet.lastUsedRow(second.workbook, 1), 3);
}

void TestCalcBackend::workbookWindowShowsWithVisible()
{
    REQUIRE_CALC();
    // Workbooks.Add before Visible = True: the window appears with Visible.
    const auto app = m_factory();
    CalcProbe &sheet = m_office->inspector();
    const auto before = sheet.documentTitles();
    app->addWorkbook();
    SETTLE(*app);
    const std::string workbook = newWorkbook(before, sheet.documentTitles());
    QVERIFY(!workbook.empty());
    QVERIFY(!sheet.windowVisible(workbook));
    app->setVisible(true);
    SETTLE(*app);
    QVERIFY(sheet.windowVisible(workbook));

    // The recording's order: Visible = True, then Workbooks.Add.
    Recording recording = startRecording(*m_office, m_factory);
    QVERIFY(sheet.windowVisible(recording.workbook));
}

void TestCalcBackend::rowsFollowTheActiveSheet()
{
    REQUIRE_CALC();
    // The fit runs before a new workbook only: the first sheet is still owed
    // its fit when the user switches sheets.
    QueueSettings rarely;
    rarely.refreshInterval = 1h;
    rarely.quietRefresh = 1h;
    Recording recording = startRecording(*m_office, m_office->factory(rarely));
    CalcProbe &sheet = m_office->inspector();
    const std::string longer = " (a longer reading than the first)";

    recordTurn(*recording.app, 1, reading(1));
    SETTLE(*recording.app); // fitted to the short first reading
    std::vector<std::string> onFirst = {reading(1)};
    for (int row = 2; row <= 10; ++row) {
        onFirst.push_back(withoutLineEnd(reading(row)) + longer);
        recordTurn(*recording.app, row, onFirst.back());
    }
    QTRY_COMPARE_WITH_TIMEOUT(sheet.lastUsedRow(recording.workbook, 1), 10, 30000);

    sheet.appendSheet(recording.workbook, "Second");
    sheet.activateSheet(recording.workbook, 2);
    std::vector<std::string> onSecond;
    for (int row = 11; row <= 20; ++row) {
        onSecond.push_back(withoutLineEnd(reading(row)) + longer);
        recordTurn(*recording.app, row, onSecond.back());
    }
    recording.app->addWorkbook(); // the owed fit goes first, into both sheets
    SETTLE(*recording.app);

    std::vector<Cell> firstSheet = expectedTexts(onFirst);
    firstSheet.resize(20);
    std::vector<Cell> secondSheet(10);
    const auto written = expectedTexts(onSecond);
    secondSheet.insert(secondSheet.end(), written.begin(), written.end());
    COMPARE_CELLS(sheet.column(recording.workbook, 1, 1, 1, 20), firstSheet);
    COMPARE_CELLS(sheet.column(recording.workbook, 2, 1, 1, 20), secondSheet);
    QCOMPARE(sheet.activeSheet(recording.workbook), 2);

    // Both sheets end fitted to their longer readings.
    const int onFirstSheet = sheet.columnWidths(recording.workbook, 1, 1, 2)[0];
    const auto second = sheet.columnWidths(recording.workbook, 2, 1, 2);
    QVERIFY(second[0] > second[1]);
    QCOMPARE(onFirstSheet, second[0]);
}

void TestCalcBackend::frozenOfficeOnlyDelaysTheRows()
{
    REQUIRE_CALC();
    CalcTestOffice office; // stopped below: an office of its own
    Recording recording = startRecording(office, office.factory());
    QVERIFY(!recording.workbook.empty());
    long long row = 0;
    while (row < 5)
        ++row, recordTurn(*recording.app, row, reading(row));
    SETTLE(*recording.app);

    const auto pid = static_cast<pid_t>(office.officeProcessId());
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    const auto resume = qScopeGuard([pid] { ::kill(pid, SIGCONT); });
    // Readings keep coming at the line's pace for 40 s, longer than any
    // deadline the program ever had.
    QElapsedTimer frozen;
    frozen.start();
    QTimer counter;
    counter.setTimerType(Qt::PreciseTimer);
    QObject::connect(&counter, &QTimer::timeout, [&] { ++row, recordTurn(*recording.app, row, reading(row)); });
    counter.start(17);
    QTRY_VERIFY_WITH_TIMEOUT(frozen.elapsed() >= 40'000 && row >= 5 + 2000, 300'000);
    counter.stop();
    QVERIFY(!recording.app->settled());
    QCOMPARE(recording.app->failure().has_value(), false);
    QCOMPARE(::kill(pid, SIGCONT), 0);

    QVERIFY2(settle(*recording.app, 300s), failureText(*recording.app));
    auto expected = expectedTexts(readings(1, row));
    expected.push_back({});
    COMPARE_CELLS(office.inspector().column(recording.workbook, 1, 1, 1, int(row) + 1), expected);
}

void TestCalcBackend::goneWorkbookOrOfficeLosesNoCell_data()
{
    QTest::addColumn<bool>("killOffice"); // else the user closes the workbook
    QTest::addColumn<int>("number");
    QTest::newRow("workbook closed") << false << SpreadsheetErrorNumber::DocumentGone;
    QTest::newRow("office killed") << true << SpreadsheetErrorNumber::ApplicationGone;
}

void TestCalcBackend::goneWorkbookOrOfficeLosesNoCell()
{
    QFETCH(bool, killOffice);
    QFETCH(int, number);
    REQUIRE_CALC();
    CalcTestOffice office; // killed below: an office of its own
    const auto gate = std::make_shared<Gate>();
    Recording recording = startRecording(office, gatedFactory(office, gate));
    QVERIFY(!recording.workbook.empty());
    constexpr int Before = 200;
    constexpr int Queued = 1000;
    for (int row = 1; row <= Before; ++row)
        recordTurn(*recording.app, row, reading(row));
    SETTLE(*recording.app);

    // 1,000 readings wait while the application is between two calls ...
    gate->close();
    for (int row = Before + 1; row <= Before + Queued; ++row)
        recordTurn(*recording.app, row, reading(row));
    QTRY_COMPARE(gate->waiting(), 1);
    // ... when the workbook, or the office, goes.
    const auto inSheet = office.inspector().column(recording.workbook, 1, 1, 1, Before + Queued);
    if (killOffice) {
        const auto pid = static_cast<pid_t>(office.officeProcessId());
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(office.officeProcessId(), qint64(0), 30'000);
    } else {
        office.inspector().closeDocument(recording.workbook);
    }
    gate->open();
    QTRY_VERIFY_WITH_TIMEOUT(recording.app->failure().has_value(), 60'000);
    QCOMPARE(recording.app->failure()->number, number);

    // The sheet as it was, then what did not reach it: every reading once, in order.
    std::vector<Cell> found;
    for (const Cell &cell : inSheet) {
        if (cell.kind != CellKind::Empty)
            found.push_back(cell);
    }
    for (const SheetCell &cell : recording.app->unwritten()) {
        QCOMPARE(cell.row, static_cast<long long>(found.size()) + 1);
        found.push_back({withoutLineEnd(cell.text), CellKind::Text});
    }
    COMPARE_CELLS(found, expectedTexts(readings(1, Before + Queued)));
}

void TestCalcBackend::givingUpDuringTheStartEndsTheOfficeItStarted()
{
    REQUIRE_CALC();
    CalcTestOffice office;
    auto app = office.factory()();
    QTRY_VERIFY_WITH_TIMEOUT(office.officeProcessId() != 0 || app->failure(), 60'000);
    app->abandon(); // EXIT while the office starts: it holds nothing yet
    QCOMPARE(app->failure()->number, SpreadsheetErrorNumber::Abandoned);
    QTRY_COMPARE_WITH_TIMEOUT(office.officeProcessId(), qint64(0), 30'000);
}

void TestCalcBackend::cancelEndsACallAFrozenOfficeHolds()
{
    REQUIRE_CALC();
    CalcTestOffice office; // stopped below, and no second user shares its link
    const auto backend = office.directBackend();
    backend->addWorkbook();
    const auto pid = static_cast<pid_t>(office.officeProcessId());
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    const auto resume = qScopeGuard([pid] { ::kill(pid, SIGCONT); });

    std::atomic<pid_t> writerId{0};
    std::atomic<int> number{0};
    std::thread writer([&] {
        writerId = static_cast<pid_t>(::syscall(SYS_gettid));
        try {
            backend->setCellFormulas(1, 1, {reading(1)});
            number = -1;
        } catch (const SpreadsheetError &e) {
            number = e.number;
        }
    });
    const auto joinWriter = qScopeGuard([&] {
        ::kill(pid, SIGCONT);
        writer.join();
    });
    // The writer waits for the office's answer (asleep on a futex).
    const auto waitingForOffice = [&] {
        QFile syscall(QStringLiteral("/proc/self/task/%1/syscall").arg(writerId.load()));
        return writerId != 0 && syscall.open(QIODevice::ReadOnly)
            && syscall.readAll().split(' ').value(0) == QByteArray::number(SYS_futex);
    };
    QTRY_VERIFY_WITH_TIMEOUT(waitingForOffice(), 30'000);
    backend->cancel();
    QTRY_COMPARE_WITH_TIMEOUT(number.load(), SpreadsheetErrorNumber::Abandoned, 30'000);
}

void TestCalcBackend::missingPiecesAreReported_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("message");
    QTest::newRow("no module") << "no module" << SpreadsheetErrorNumber::NotInstalled << "is missing";
    QTest::newRow("broken module") << "broken module" << SpreadsheetErrorNumber::NotInstalled << "not installed";
    QTest::newRow("no office") << "no office" << SpreadsheetErrorNumber::NotInstalled << "not installed";
    QTest::newRow("office without Calc") << "no calc" << SpreadsheetErrorNumber::NotInstalled << "without Calc";
    QTest::newRow("office fails") << "exit 1" << SpreadsheetErrorNumber::StartFailed << "ended at once";
    QTest::newRow("office hands over to nobody")
        << "exit 0" << SpreadsheetErrorNumber::StartFailed << "ended at once, 3 times";
    QTest::newRow("office never listens")
        << "never listens" << SpreadsheetErrorNumber::StartFailed << "did not start within";
}

void TestCalcBackend::missingPiecesAreReported()
{
    QFETCH(QString, setup);
    QFETCH(int, number);
    QFETCH(QString, message);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    SpreadsheetLoaderOptions options;
    options.moduleDirectory = calcModuleDirectory().toStdString();
    options.backends = {"calc"};
    CalcOptions calc;
    calc.headless = true;
    calc.pipeName = "tallyo_test_nobody_" + std::to_string(::getpid());
    calc.profileUrl = "file://" + folder.filePath("profile").toStdString();
    calc.officeProgramDirectory = folder.path().toStdString();
    calc.applyTo(options.backend);
    options.backend.startTimeout = 1500ms;

    auto writeFile = [&](const QString &name, const QByteArray &content) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        file.setPermissions(file.permissions() | QFile::ExeOwner);
    };
    const QString pidFile = folder.filePath("soffice.pid");
    const QString startsFile = folder.filePath("soffice.starts");
    if (setup == "no module" || setup == "broken module") {
        options.moduleDirectory = folder.path().toStdString();
        if (setup == "broken module")
            writeFile("libtallyo-calc.so", "not a library");
    } else {
        REQUIRE_CALC();
        if (setup != "no office")
            writeFile("soffice", "#!/bin/sh\nexit 0\n");
        if (setup == "exit 1" || setup == "exit 0" || setup == "never listens")
            writeFile("libsclo.so", "");
        // Time for three starts, and for each to end, on a busy machine.
        if (setup == "exit 0")
            options.backend.startTimeout = 15'000ms;
        if (setup == "exit 1")
            writeFile("soffice", "#!/bin/sh\nexit 1\n");
        if (setup == "exit 0")
            writeFile("soffice", "#!/bin/sh\necho started >> '" + QFile::encodeName(startsFile) + "'\nexit 0\n");
        if (setup == "never listens")
            writeFile("soffice", "#!/bin/sh\necho $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 600\n");
    }

    const auto app = makeSpreadsheetFactory(options)();
    QTRY_VERIFY_WITH_TIMEOUT(app->failure().has_value(), 30'000);
    QCOMPARE(app->failure()->number, number);
    QVERIFY2(QString::fromUtf8(app->failure()->what()).contains(message), app->failure()->what());
    QVERIFY(!app->started());
    if (setup == "exit 0") {
        QFile starts(startsFile);
        QVERIFY(starts.open(QIODevice::ReadOnly));
        QCOMPARE(starts.readAll(), QByteArray("started\nstarted\nstarted\n"));
    }

    QFile started(pidFile);
    if (started.open(QIODevice::ReadOnly))
        ::kill(static_cast<pid_t>(started.readAll().trimmed().toLongLong()), SIGKILL);
}

QTEST_GUILESS_MAIN(TestCalcBackend)
#include "tst_calc_backend.moc"
