// The window recording into a real LibreOffice Calc, from a simulated counter:
// what a user sees in the sheet. Under Xvfb (as CTest runs it) the office
// shows its windows; every effect is read back through a second connection,
// as another user of the office would see it.
#include "calc_testoffice.h"
#include "rig.h"
#include "startup.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace tallyo;
using namespace tallyo::test;
using namespace std::chrono_literals;

namespace {
constexpr char kReply[] = "   1234567.8901234 MHz\r";
const std::string kStored = withoutLineEnd("1234567.8901234 MHz\r"); // Calc gets the reading without its CR

// Runs `action` on the event loop's turns (inside the recording's waits)
// until it returns true.
class Every : public QObject {
public:
    explicit Every(std::function<bool()> action)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, action] {
            if (action())
                m_timer.stop();
        });
        m_timer.start(0);
    }

private:
    QTimer m_timer;
};

int readingsTaken(Rig &rig)
{
    return int(rig.counter(1).commands().size());
}
} // namespace

class TestCalcWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void recordingsFillNewWorkbooksDownColumnA();
    void rowsFollowTheSheetTheUserActivates();
    void closingTheWorkbookEndsTheRecordingWithAMessage();

private:
    std::unique_ptr<Rig> newRig();
    std::unique_ptr<CalcTestOffice> m_office;
};

void TestCalcWindow::initTestCase()
{
    applyAppearance();
    const QString unavailable = calcUnavailableReason();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    m_office = std::make_unique<CalcTestOffice>();
    // Start the office, so it can be looked at from the first test on.
    const auto app = m_office->factory()();
    QTRY_VERIFY_WITH_TIMEOUT(app->started() || app->failure(), 120'000);
    QVERIFY2(app->started(), app->failure() ? app->failure()->what() : "not started");
}

std::unique_ptr<Rig> TestCalcWindow::newRig()
{
    auto rig = std::make_unique<Rig>();
    rig->counter(1).setCustomReply(kReply);
    rig->spreadsheetFactory = m_office->factory();
    rig->form().controls().Combo1->setCurrentIndex(0); // Fastest
    return rig;
}

void TestCalcWindow::recordingsFillNewWorkbooksDownColumnA()
{
    auto rig = newRig();
    Form1 &form = rig->form();
    CalcProbe &sheet = m_office->inspector();
    std::vector<std::string> workbooks;
    for (int rows : {5, 3}) {
        const int before = readingsTaken(*rig);
        // The stop lands in the last turn's reply wait; that turn runs to its end.
        Every stop([&] {
            if (readingsTaken(*rig) - before < rows)
                return false;
            rig->click(form.controls().Command5);
            return true;
        });
        const auto titles = sheet.documentTitles();
        rig->click(form.controls().Command4);
        QVERIFY2(rig->messages.isEmpty(), qPrintable(rig->messages.join('\n')));
        workbooks.push_back(newWorkbook(titles, sheet.documentTitles()));
        QVERIFY(!workbooks.back().empty());
    }
    // Each recording wrote rows 1..n of its own workbook; the first keeps its data.
    std::vector<CalcProbe::Cell> five(5, {kStored, CalcProbe::CellKind::Text});
    QCOMPARE(sheet.column(workbooks[0], 1, 1, 1, 5), five);
    QCOMPARE(sheet.lastUsedRow(workbooks[0], 1), 5);
    QCOMPARE(sheet.column(workbooks[1], 1, 1, 1, 3), std::vector<CalcProbe::Cell>(five.begin(), five.begin() + 3));
    QCOMPARE(sheet.lastUsedRow(workbooks[1], 1), 3);
    // Column A was fitted to the readings; B, empty, keeps the default width.
    const std::vector<int> widths = sheet.columnWidths(workbooks[1], 1, 1, 2);
    QVERIFY2(widths[0] > widths[1], qPrintable(QStringLiteral("%1 %2").arg(widths[0]).arg(widths[1])));
    // The selection (A1 in a new workbook) carries the format "0", and nothing else does.
    QCOMPARE(sheet.formattedRanges(workbooks[1], 1), (std::vector<CalcProbe::FormattedRange>{{"A1", "0"}}));
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        QVERIFY(sheet.windowVisible(workbooks[0]));
        QVERIFY(sheet.windowVisible(workbooks[1]));
    }
    // The readings were not shown in the window's display box.
    QVERIFY(form.controls().Text1->text().isEmpty());
}

void TestCalcWindow::rowsFollowTheSheetTheUserActivates()
{
    auto rig = newRig();
    Form1 &form = rig->form();
    CalcProbe &sheet = m_office->inspector();
    std::string workbook;
    const auto titles = sheet.documentTitles();
    int switchedAfter = 0;
    Every user([&] {
        if (workbook.empty()) {
            if (readingsTaken(*rig) < 4)
                return false;
            // The user adds a sheet and makes it the active one, once the
            // workbook is there (opening it may take longer than 4 readings).
            workbook = newWorkbook(titles, sheet.documentTitles());
            if (workbook.empty())
                return false;
            sheet.appendSheet(workbook, "Later");
            sheet.activateSheet(workbook, 2);
            switchedAfter = readingsTaken(*rig);
            return false;
        }
        if (readingsTaken(*rig) < switchedAfter + 5)
            return false;
        rig->click(form.controls().Command5);
        return true;
    });
    rig->click(form.controls().Command4);
    QVERIFY2(rig->messages.isEmpty(), qPrintable(rig->messages.join('\n')));
    const int total = readingsTaken(*rig);
    // Rows 1..k went to the first sheet, rows k+1..total to the second, at
    // the recording's own row numbers: none lost, none twice.
    const int k = sheet.lastUsedRow(workbook, 1);
    QVERIFY2(k >= 3 && k < total, qPrintable(QString::number(k)));
    QCOMPARE(sheet.lastUsedRow(workbook, 2), total);
    const auto second = sheet.column(workbook, 2, 1, 1, total);
    for (int row = 1; row <= total; ++row) {
        const bool expected = row > k;
        QCOMPARE(second[size_t(row - 1)].kind == CalcProbe::CellKind::Text, expected);
    }
}

void TestCalcWindow::closingTheWorkbookEndsTheRecordingWithAMessage()
{
    auto rig = newRig();
    Form1 &form = rig->form();
    CalcProbe &sheet = m_office->inspector();
    const auto titles = sheet.documentTitles();
    // Once the workbook is open and holds readings (closing one still being
    // opened would fail its opening instead).
    Every user([&] {
        if (readingsTaken(*rig) < 5)
            return false;
        const std::string workbook = newWorkbook(titles, sheet.documentTitles());
        try {
            if (workbook.empty() || sheet.lastUsedRow(workbook, 1) < 1)
                return false;
        } catch (const SpreadsheetError &) {
            return false;
        }
        sheet.closeDocument(workbook);
        return true;
    });
    rig->click(form.controls().Command4); // ends by itself
    QCOMPARE(rig->messages.size(), 1);
    QVERIFY2(rig->messages[0].startsWith(QStringLiteral("Error 1004:")), qPrintable(rig->messages[0]));
    QCOMPARE(rig->quits, 0);

    // The window lives on: the next recording opens a new workbook.
    rig->messages.clear();
    const auto before = sheet.documentTitles();
    const int start = readingsTaken(*rig);
    Every stop([&] {
        if (readingsTaken(*rig) - start < 2)
            return false;
        rig->click(form.controls().Command5);
        return true;
    });
    rig->click(form.controls().Command4);
    QVERIFY2(rig->messages.isEmpty(), qPrintable(rig->messages.join('\n')));
    const std::string again = newWorkbook(before, sheet.documentTitles());
    QVERIFY(!again.empty());
    QCOMPARE(sheet.lastUsedRow(again, 1), readingsTaken(*rig) - start);
}

QTEST_MAIN(TestCalcWindow)
#include "tst_calc_window.moc"
