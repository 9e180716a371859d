// Recording into a real LibreOffice Calc: headless, a private profile per run,
// and every effect read back through a second UNO connection as another user
// of the office would see it.
#include "calc_testoffice.h"
#include "spreadsheetloader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace tallyo;
using namespace tallyo::test;
using namespace std::chrono_literals;
using Cell = CalcProbe::Cell;
using CellKind = CalcProbe::CellKind;

namespace {

// A counter's reply as the recording writes it.
std::string reading(int n)
{
    char text[40];
    std::snprintf(text, sizeof text, "%13.7f MHz\r", 10.0 + n * 1e-7);
    return text; // "   10.0000001 MHz\r"
}

// What the window's recording does each turn.
void recordTurn(SpreadsheetApp &app, int row, const std::string &text)
{
    app.setCellFormula(row, 1, text);
    app.autoFitColumns("A:AY");
    app.setSelectionNumberFormat("0");
}

struct Recording {
    std::unique_ptr<SpreadsheetApp> app;
    std::string workbook; // its title
};

// create, Visible = True, Workbooks.Add; and which workbook that opened.
Recording startRecording(CalcTestOffice &office, const SpreadsheetFactory &factory)
{
    Recording recording{factory(), {}};
    recording.app->setVisible(true);
    const auto before = office.inspector().documentTitles();
    recording.app->addWorkbook();
    recording.app->finish();
    recording.workbook = newWorkbook(before, office.inspector().documentTitles());
    return recording;
}

// A recording with five rows in its sheet, on an office of its own.
Recording recordFiveRows(CalcTestOffice &office)
{
    Recording recording = startRecording(office, office.factory());
    for (int row = 1; row <= 5; ++row)
        recordTurn(*recording.app, row, reading(row));
    recording.app->finish();
    return recording;
}

std::vector<Cell> expectedTexts(const std::vector<std::string> &texts)
{
    std::vector<Cell> cells;
    for (const std::string &text : texts)
        cells.push_back({storedByCalc(text), CellKind::Text});
    return cells;
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

#define COMPARE_CELLS(actual, expected)                                                                    \
    do {                                                                                                   \
        const QString mismatch = describe(actual, expected);                                               \
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));                                                \
    } while (false)

int errorNumberOf(const std::function<void()> &call, std::string *text = nullptr)
{
    try {
        call();
    } catch (const SpreadsheetError &e) {
        if (text)
            *text = e.what();
        return e.number;
    }
    return 0;
}

// Records until a call (or finish()) throws; the error number, 0 if none did.
int recordUntilFailure(SpreadsheetApp &app, int firstRow, std::chrono::seconds patience, std::string *text)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    return errorNumberOf(
        [&] {
            for (int row = firstRow; row < app.lastRow() && std::chrono::steady_clock::now() < deadline; ++row)
                recordTurn(app, row, reading(row));
            app.finish();
        },
        text);
}

#define REQUIRE_CALC()                                                                                     \
    do {                                                                                                   \
        if (!m_office)                                                                                     \
            QSKIP(qPrintable(m_unavailable));                                                              \
    } while (false)

} // namespace

class TestCalcBackend : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void bothWritePathsKeepTheText();
    void recordingKeepsEveryRowInOrder();
    void autoFitWidensTheRecordedColumns();
    void numberFormatGoesToTheSelectionOnly();
    void eachApplicationGetsItsOwnWorkbook();
    void workbookWindowShowsWithVisible();
    void rowsFollowTheActiveSheet();
    void closedWorkbookIsReported();
    void workbookClosedWhileRecordingIsReported();
    void officeThatStopsAnsweringIsReportedGone();
    void officeThatDiesIsReportedGone();
    void missingPiecesAreReported_data();
    void missingPiecesAreReported();

private:
    CalcTestOffice &spareOffice();

    QString m_unavailable;
    std::unique_ptr<CalcTestOffice> m_office; // shared by the tests that leave it running
    std::unique_ptr<CalcTestOffice> m_spare;  // for the tests that stop or kill it
    SpreadsheetFactory m_factory;
};

void TestCalcBackend::initTestCase()
{
    m_unavailable = calcUnavailableReason();
    if (!m_unavailable.isEmpty())
        return; // each test that needs Calc skips; the others run
    m_office = std::make_unique<CalcTestOffice>();
    m_factory = m_office->factory();
}

void TestCalcBackend::cleanupTestCase()
{
    m_spare.reset();
    m_office.reset();
}

CalcTestOffice &TestCalcBackend::spareOffice()
{
    if (!m_spare)
        m_spare = std::make_unique<CalcTestOffice>(5s);
    return *m_spare;
}

void TestCalcBackend::bothWritePathsKeepTheText()
{
    REQUIRE_CALC();
    // The backend itself: one cell per call, and a run of rows in one call.
    const auto backend = m_office->directBackend();
    QCOMPARE(backend->lastRow(), 1'048'576);
    backend->setVisible(true);
    const auto before = m_office->inspector().documentTitles();
    backend->addWorkbook();
    const std::string workbook = newWorkbook(before, m_office->inspector().documentTitles());
    QVERIFY(!workbook.empty());

    const std::vector<std::string> texts = {
        "   10.0000123 MHz\r", // leading spaces kept, a text; the CR stays the cell's line end
        "  1234.5679 µHz ±",   // UTF-8 beyond ASCII
        "      -0.0001 Hz",
        " =1+1",               // not a formula: it does not start with '='
    };
    for (std::size_t i = 0; i < texts.size(); ++i)
        backend->setCellFormulas(static_cast<int>(i) + 1, 1, {texts[i]});
    backend->setCellFormulas(1, 2, texts);

    CalcProbe &sheet = m_office->inspector();
    const int rows = static_cast<int>(texts.size());
    COMPARE_CELLS(sheet.column(workbook, 1, 1, 1, rows), expectedTexts(texts));
    COMPARE_CELLS(sheet.column(workbook, 1, 2, 1, rows), expectedTexts(texts));

    // Formula = text is still a formula assignment: numbers and formulas
    // become what Calc, like Excel, reads them as, on either path.
    backend->setCellFormulas(10, 1, {"  10.5"});
    backend->setCellFormulas(11, 1, {"=2*3"});
    backend->setCellFormulas(10, 2, {"  10.5", "=2*3"});
    const std::vector<Cell> parsed = {{"10.5", CellKind::Value}, {"=2*3", CellKind::Formula}};
    COMPARE_CELLS(sheet.column(workbook, 1, 1, 10, 11), parsed);
    COMPARE_CELLS(sheet.column(workbook, 1, 2, 10, 11), parsed);

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
    std::vector<std::string> texts;
    for (int row = 1; row <= Rows; ++row) {
        texts.push_back(reading(row));
        recordTurn(*recording.app, row, texts.back());
    }
    recording.app->finish();

    CalcProbe &sheet = m_office->inspector();
    auto expected = expectedTexts(texts);
    expected.push_back({});
    COMPARE_CELLS(sheet.column(recording.workbook, 1, 1, 1, Rows + 1), expected);
    QCOMPARE(sheet.lastUsedRow(recording.workbook, 1), Rows);
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
    recording.app->finish();

    const auto widths = m_office->inspector().columnWidths(recording.workbook, 1, 1, 53);
    const int standard = widths[52]; // BA: untouched
    QVERIFY2(widths[0] > standard, "column A was not widened");
    QVERIFY2(widths[50] > standard, "column AY was not widened");
    QCOMPARE(widths[51], standard); // AZ keeps its width
    QCOMPARE(widths[1], standard);  // an empty column in the range keeps the standard width
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
    first.app->finish();
    QCOMPARE(sheet.selection(first.workbook), std::string("A1"));
    const std::vector<Range> onlyA1 = {{"A1", "0"}};
    QVERIFY(sheet.formattedRanges(first.workbook, 1) == onlyA1);

    // The user selects cells of their own before the recording goes on.
    Recording second = startRecording(*m_office, m_factory);
    sheet.select(second.workbook, "B2:C5");
    for (int row = 1; row <= 3; ++row)
        recordTurn(*second.app, row, reading(row));
    second.app->finish();
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
    std::vector<std::string> firstTexts;
    for (int row = 1; row <= 5; ++row) {
        firstTexts.push_back(reading(row));
        recordTurn(*first.app, row, firstTexts.back());
    }
    first.app->finish();
    first.app.reset(); // the program lets go: the workbook stays, unsaved

    Recording second = startRecording(*m_office, m_factory);
    QVERIFY(!second.workbook.empty());
    QVERIFY(second.workbook != first.workbook);
    std::vector<std::string> secondTexts;
    for (int row = 1; row <= 3; ++row) {
        secondTexts.push_back(reading(100 + row));
        recordTurn(*second.app, row, secondTexts.back());
    }
    second.app->finish();

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
    app->finish();
    const std::string workbook = newWorkbook(before, sheet.documentTitles());
    QVERIFY(!workbook.empty());
    QVERIFY(!sheet.windowVisible(workbook));
    app->setVisible(true);
    app->finish();
    QVERIFY(sheet.windowVisible(workbook));

    // The recording's order: Visible = True, then Workbooks.Add.
    Recording recording = startRecording(*m_office, m_factory);
    QVERIFY(sheet.windowVisible(recording.workbook));
}

void TestCalcBackend::rowsFollowTheActiveSheet()
{
    REQUIRE_CALC();
    // AutoFit runs once at the start, then only at finish(): the first sheet
    // is still owed its fit when the user switches sheets.
    QueueSettings rarely;
    rarely.refreshInterval = 1h;
    Recording recording = startRecording(*m_office, m_office->factory(rarely));
    CalcProbe &sheet = m_office->inspector();
    const std::string longer = " (a longer reading than the first)";

    recordTurn(*recording.app, 1, reading(1));
    recording.app->finish(); // fitted to the short first reading
    std::vector<std::string> onFirst = {reading(1)};
    for (int row = 2; row <= 10; ++row) {
        onFirst.push_back(reading(row) + longer);
        recordTurn(*recording.app, row, onFirst.back());
    }
    QTRY_COMPARE_WITH_TIMEOUT(sheet.lastUsedRow(recording.workbook, 1), 10, 30000);

    sheet.appendSheet(recording.workbook, "Second");
    sheet.activateSheet(recording.workbook, 2);
    std::vector<std::string> onSecond;
    for (int row = 11; row <= 20; ++row) {
        onSecond.push_back(reading(row) + longer);
        recordTurn(*recording.app, row, onSecond.back());
    }
    recording.app->finish();

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

void TestCalcBackend::closedWorkbookIsReported()
{
    REQUIRE_CALC();
    Recording recording = startRecording(*m_office, m_factory);
    for (int row = 1; row <= 20; ++row)
        recordTurn(*recording.app, row, reading(row));
    recording.app->finish();

    m_office->inspector().closeDocument(recording.workbook);
    std::string text;
    QCOMPARE(recordUntilFailure(*recording.app, 21, 60s, &text), SpreadsheetErrorNumber::DocumentGone);
    QCOMPARE(text, std::string("The workbook was closed during the recording."));
    // Reported once; the next call goes to the application again.
    QCOMPARE(errorNumberOf([&] { recording.app->finish(); }), 0);
    QCOMPARE(errorNumberOf([&] {
                 recording.app->setCellFormula(1, 1, "x");
                 recording.app->finish();
             }),
             SpreadsheetErrorNumber::DocumentGone);
    const auto titles = m_office->inspector().documentTitles();
    QVERIFY(std::find(titles.begin(), titles.end(), recording.workbook) == titles.end());
}

void TestCalcBackend::workbookClosedWhileRecordingIsReported()
{
    REQUIRE_CALC();
    Recording recording = startRecording(*m_office, m_factory);
    // The user closes the workbook while readings keep arriving.
    std::atomic<bool> closeNow{false};
    std::string closerError;
    std::thread closer([&] {
        try {
            const auto user = m_office->newInspector();
            while (!closeNow)
                std::this_thread::yield();
            user->closeDocument(recording.workbook);
        } catch (const SpreadsheetError &e) {
            closerError = e.what();
        }
    });
    struct Release {
        std::atomic<bool> &closeNow;
        std::thread &closer;
        ~Release()
        {
            closeNow = true;
            closer.join();
        }
    } release{closeNow, closer};

    for (int row = 1; row <= 200; ++row)
        recordTurn(*recording.app, row, reading(row));
    closeNow = true;
    std::string text;
    const int number = recordUntilFailure(*recording.app, 201, 60s, &text);
    QCOMPARE(number, SpreadsheetErrorNumber::DocumentGone);
    QVERIFY2(text == "The workbook was closed during the recording.", text.c_str());
    QVERIFY2(closerError.empty(), closerError.c_str());
}

void TestCalcBackend::officeThatStopsAnsweringIsReportedGone()
{
    REQUIRE_CALC();
    CalcTestOffice &office = spareOffice(); // answers within 5 s, or is taken for gone
    Recording recording = recordFiveRows(office);
    const auto pid = static_cast<pid_t>(office.officeProcessId());
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    std::string text;
    const int number = recordUntilFailure(*recording.app, 6, 120s, &text);
    ::kill(pid, SIGCONT);
    QCOMPARE(number, SpreadsheetErrorNumber::ApplicationGone);
    QVERIFY2(text.find("stopped responding") != std::string::npos, text.c_str());
    recording.app.reset();
}

void TestCalcBackend::officeThatDiesIsReportedGone()
{
    REQUIRE_CALC();
    CalcTestOffice &office = spareOffice();
    office.reconnectInspector(); // its link was cut if the office stopped answering before
    Recording recording = recordFiveRows(office);
    const auto pid = static_cast<pid_t>(office.officeProcessId());
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGKILL), 0);
    std::string text;
    QCOMPARE(recordUntilFailure(*recording.app, 6, 60s, &text), SpreadsheetErrorNumber::ApplicationGone);
    QVERIFY2(text.find("LibreOffice") != std::string::npos, text.c_str());
    // A new application on the same pipe starts a new office.
    office.reconnectInspector();
    Recording again = startRecording(office, office.factory());
    QVERIFY(!again.workbook.empty());
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
    QTest::newRow("office never listens") << "never listens" << SpreadsheetErrorNumber::StartFailed
                                          << "did not start within";
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
    options.backend.headless = true;
    options.backend.pipeName = "tallyo_test_nobody_" + std::to_string(::getpid());
    options.backend.profileUrl = "file://" + folder.filePath("profile").toStdString();
    options.backend.officeProgramDirectory = folder.path().toStdString();
    options.backend.startTimeout = 1500ms;

    auto writeFile = [&](const QString &name, const QByteArray &content) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        file.setPermissions(file.permissions() | QFile::ExeOwner);
    };
    const QString pidFile = folder.filePath("soffice.pid");
    if (setup == "no module" || setup == "broken module") {
        options.moduleDirectory = folder.path().toStdString();
        if (setup == "broken module")
            writeFile(QString::fromStdString(spreadsheetModuleFileName()), "not a library");
    } else {
        REQUIRE_CALC();
        if (setup != "no office")
            writeFile("soffice", "#!/bin/sh\nexit 0\n");
        if (setup == "exit 1" || setup == "never listens")
            writeFile("libsclo.so", "");
        if (setup == "exit 1")
            writeFile("soffice", "#!/bin/sh\nexit 1\n");
        if (setup == "never listens")
            writeFile("soffice", "#!/bin/sh\necho $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 600\n");
    }

    const SpreadsheetFactory factory = makeSpreadsheetFactory(options);
    std::string text;
    QCOMPARE(errorNumberOf([&] { factory(); }, &text), number);
    QVERIFY2(QString::fromStdString(text).contains(message), text.c_str());

    QFile started(pidFile);
    if (started.open(QIODevice::ReadOnly))
        ::kill(static_cast<pid_t>(started.readAll().trimmed().toLongLong()), SIGKILL);
}

QTEST_GUILESS_MAIN(TestCalcBackend)
#include "tst_calc_backend.moc"
