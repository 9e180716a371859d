// The recording's own logic, against a stand-in spreadsheet that records
// every call: row numbering, the interval read each turn, stopping, nesting,
// EXIT, and every way a recording can fail. The real applications have
// suites of their own.
#include "endsignals.h"
#include "portlocks.h"
#include "queuedspreadsheet.h"
#include "rig.h"
#include "sheet_fakebackend.h"
#include "unwrittenfile.h"

#include <QComboBox>
#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QSerialPort>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QRegularExpression>
#include <QTimer>
#include <thread>

#include <algorithm>
#include <array>
#include <csignal>
#include <numeric>

using namespace tallyo;
using namespace tallyo::test;
using namespace std::chrono_literals;
using Reply = sim::CounterSim::Reply;

namespace {
// Clicks "Stop Record" so that the recording ends with `rows` rows: the
// click lands in the reply wait of the last turn, which then runs to its end.
class StopAfter : public QObject {
public:
    StopAfter(Rig &rig, size_t rows) : m_rig(rig), m_rows(rows)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_rig.sheets.formulas().size() + 1 >= m_rows) {
                m_timer.stop();
                m_rig.click(m_rig.form().controls().Command5);
            }
        });
        m_timer.start(0);
    }

private:
    Rig &m_rig;
    size_t m_rows;
    QTimer m_timer;
};

void selectInterval(Form1 &form, int position)
{
    form.controls().Combo1->setCurrentIndex(position);
}

std::vector<long long> rowsOf(const std::vector<SheetCall> &formulas, int app)
{
    std::vector<long long> rows;
    for (const SheetCall &c : formulas)
        if (c.app == app)
            rows.push_back(c.row);
    return rows;
}

std::vector<long long> oneTo(long long n)
{
    std::vector<long long> rows;
    for (long long row = 1; row <= n; ++row)
        rows.push_back(row);
    return rows;
}

// Numbers the counter's readings 1, 2, 3, ... in the order it serves them
// ("           7 Hz\r": 16 characters); a "D1" it leaves unanswered takes none.
void numberReadings(sim::CounterSim &counter)
{
    auto text = [](int n) { return QStringLiteral("%1 Hz\r").arg(n, 12).toStdString(); };
    counter.setCustomReply(text(1));
    counter.setCommandObserver([&counter, text](const std::string &command) {
        if (command == "D1")
            counter.setCustomReply(text(counter.readingsServed() + 1));
    });
}

// The display box names the silent counter.
bool showsNoReply(Form1 &form)
{
    return form.controls().Text1->text().contains(QStringLiteral("no reply"));
}

bool busyPointer()
{
    return QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
}

// The numbers of the readings application `app` took, in row order; all
// applications' with app 0; followed by those saved to files with saved.
std::vector<int> numbersOf(const Rig &rig, int app, bool saved = false)
{
    std::vector<int> numbers;
    for (const SheetCall &c : rig.sheets.formulas())
        if (app == 0 || c.app == app)
            numbers.push_back(std::stoi(c.text));
    if (saved)
        for (const auto &[row, text, note] : rig.savedRows())
            numbers.push_back(std::stoi(text));
    return numbers;
}

// Every reading served, 1 to n, once each.
bool eachOnce(std::vector<int> numbers, int n)
{
    std::sort(numbers.begin(), numbers.end());
    std::vector<int> expected(size_t(std::max(n, 0)));
    std::iota(expected.begin(), expected.end(), 1);
    return numbers == expected;
}

// Rows of one application in the sheet followed by those saved to a file.
std::vector<long long> sheetThenSaved(const Rig &rig, int app)
{
    std::vector<long long> rows = rowsOf(rig.sheets.formulas(), app);
    for (const Rig::SavedRow &saved : rig.savedRows())
        rows.push_back(saved.row);
    return rows;
}

// AutoFit and format once, after the first row, then never: the gate holds
// only cell writes.
QueueSettings refreshOnce()
{
    QueueSettings settings;
    settings.refreshInterval = 1h;
    settings.quietRefresh = 1h;
    return settings;
}

std::vector<long long> rowsWritten(const FakeSheetJournal &journal)
{
    std::vector<long long> rows;
    for (const FakeSheetCall &call : journal.calls())
        if (call.kind == FakeSheetCall::Kind::Cells)
            for (size_t i = 0; i < call.texts.size(); ++i)
                rows.push_back(call.first + qint64(i));
    return rows;
}

size_t unwrittenNow(Form1 &form)
{
    return form.recorder().excelApp() ? form.recorder().excelApp()->unwritten().size() : 0;
}

// Where each reading served went, one letter per row: S the sheet only, F
// the file only, M the sheet and the file marked "maybe-in-sheet", m the file
// marked so only; X anything else (both unmarked, twice, nowhere).
QString whereRowsWent(Rig &rig, const FakeSheetJournal &journal)
{
    const std::vector<long long> inSheet = rowsWritten(journal);
    const std::vector<Rig::SavedRow> saved = rig.savedRows();
    QString letters;
    for (long long row = 1; row <= rig.counter(1).readingsServed(); ++row) {
        const auto sheet = std::count(inSheet.begin(), inSheet.end(), row);
        const auto file = std::count_if(saved.begin(), saved.end(), [&](const auto &s) { return s.row == row; });
        const auto marked =
            std::count_if(saved.begin(), saved.end(), [&](const auto &s) { return s.row == row && s.maybeInSheet; });
        const char letter = sheet == 1 && file == 0 ? 'S'
            : sheet == 0 && file == 1 && !marked    ? 'F'
            : sheet == 1 && marked == 1             ? 'M'
            : sheet == 0 && marked == 1             ? 'm'
                                                    : 'X';
        letters += QLatin1Char(letter);
    }
    return letters;
}

bool matches(const QString &text, const char *pattern)
{
    return QRegularExpression(QLatin1String(pattern)).match(text).hasMatch();
}
} // namespace

class TestRecording : public QObject {
    Q_OBJECT
private slots:
    void readingsGoDownColumnAFromRowOne();
    void everyTurnFitsAndFormats();
    void intervalIsReadAnewEachTurn();
    void stopDuringAPauseEndsAfterThePause();
    void stopWhileIdleDoesNotPreventTheNextRecording();
    void typedIntervalMeansNoPause();
    void nestedRecordingEndsWithTheSameStop();
    void exitDuringARecordingWritesNoFurtherRow();
    void clicksInsideReplyWaitsLoseNoReading();
    void exitWithNestedRecordingsOnAFrozenSheetEndsWithinASecond();
    void endSignalDuringARecordingEndsWithinASecond();
    void exitWhileTheApplicationStartsEndsAtOnce();
    void busySheetDelaysReadingsButLosesNone();
    void failuresEndTheRecordingWithAMessage();
    void fullSheetEndsTheRecording();
    void aWriteGivenUpThatLandsLaterIsMarkedInTheFile();
    void savedFilesAreWholeAndNeverReplaced();
    void exitWhileAWriteNeverAnswersSavesItAsMaybe();
    void aBacklogThatDrainsSlowlyIsNeverCut();
    void stopEndsRecordingsWhileTheCounterIsSilent();
    void recordingGoesOnWhenASilentCounterAnswersAgain();
    void aSlowFitThatFinishesIsNoStall();
    void losingTheDisplayEndsLikeASignal_data();
    void losingTheDisplayEndsLikeASignal();
};

void TestRecording::readingsGoDownColumnAFromRowOne()
{
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    form.controls().Text1->setText(QStringLiteral("shown before"));
    for (int recording = 1; recording <= 2; ++recording) {
        StopAfter stop(rig, size_t(recording * 3));
        rig.click(form.controls().Command4);
    }
    QCOMPARE(rig.sheets.created, 2);
    QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(3));
    QCOMPARE(rowsOf(rig.sheets.formulas(), 2), oneTo(3));
    for (const SheetCall &c : rig.sheets.formulas()) {
        QCOMPARE(c.column, 1);
        QVERIFY2(c.text.size() >= 14 && c.text.front() != ' ' && c.text.back() == '\r', c.text.c_str());
    }
    // Recorded readings are not shown; the last one stays current.
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("shown before"));
    QCOMPARE(form.link().currentReading().toStdString(), rig.sheets.formulas().back().text);
    // One "D1" per row, and the port stays open afterwards.
    QCOMPARE(rig.counter(1).commands().size(), size_t(6));
    QVERIFY(serialControl(form).portOpen());
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::everyTurnFitsAndFormats()
{
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    StopAfter stop(rig, 2);
    rig.click(form.controls().Command4);
    std::vector<std::string> sequence;
    for (const SheetCall &c : rig.sheets.calls)
        sequence.push_back(c.call == "autofit" || c.call == "format" ? c.call + ":" + c.text : c.call);
    QCOMPARE(sequence,
             (std::vector<std::string>{"visible", "add", "formula", "autofit:A:AY", "format:0", "formula",
                                       "autofit:A:AY", "format:0"}));
}

void TestRecording::intervalIsReadAnewEachTurn()
{
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 1); // 2 seconds
    // During the first pause the user picks 5 seconds: the first pause still
    // takes 2 s, the next takes 5 s.
    std::vector<qint64> rowTimes;
    ClockDriver driver(rig.clock, 100);
    driver.advanceWhen = [&] { return form.link().activePauses() > 0; };
    driver.onTick = [&](int) {
        const size_t rows = rig.sheets.formulas().size();
        if (rows > rowTimes.size())
            rowTimes.push_back(rig.clock.nowMs());
        if (rows == 1 && form.controls().Combo1->currentIndex() == 1)
            selectInterval(form, 2);
        if (rows == 3 && !form.recorder().stopRecord())
            rig.click(form.controls().Command5);
    };
    rig.click(form.controls().Command4);
    QCOMPARE(rig.sheets.formulas().size(), size_t(3));
    QCOMPARE(rowTimes.size(), size_t(3));
    const qint64 firstPause = rowTimes[1] - rowTimes[0];
    const qint64 secondPause = rowTimes[2] - rowTimes[1];
    QVERIFY2(firstPause > 1000 && firstPause <= 2100, qPrintable(QString::number(firstPause)));
    QVERIFY2(secondPause > 4000 && secondPause <= 5100, qPrintable(QString::number(secondPause)));
}

void TestRecording::stopDuringAPauseEndsAfterThePause()
{
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 3); // 10 seconds
    qint64 stoppedAt = 0;
    ClockDriver driver(rig.clock, 100);
    driver.advanceWhen = [&] { return form.link().activePauses() > 0; };
    driver.onTick = [&](int) {
        if (!stoppedAt && rig.sheets.formulas().size() == 1) {
            rig.click(form.controls().Command5);
            stoppedAt = rig.clock.nowMs();
        }
    };
    rig.click(form.controls().Command4);
    QCOMPARE(rig.sheets.formulas().size(), size_t(1));
    QVERIFY2(rig.clock.nowMs() - stoppedAt >= 9000, "the pause ran to its end");
    QCOMPARE(rig.counter(1).commands(), std::vector<std::string>{"D1"});
}

void TestRecording::stopWhileIdleDoesNotPreventTheNextRecording()
{
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    rig.click(form.controls().Command5);
    QVERIFY(form.recorder().stopRecord());
    QVERIFY(!serialControl(form).portOpen()); // "Stop Record" touches no port
    // The flag is cleared at the start: the recording runs until the next stop.
    StopAfter stop(rig, 3);
    rig.click(form.controls().Command4);
    QCOMPARE(rig.sheets.formulas().size(), size_t(3));
}

void TestRecording::typedIntervalMeansNoPause()
{
    Rig rig;
    Form1 &form = rig.form();
    form.controls().Combo1->lineEdit()->selectAll();
    QTest::keyClicks(form.controls().Combo1->lineEdit(), QStringLiteral("3 Seconds"));
    QCOMPARE(intervalPosition(form), -1);
    const qint64 start = rig.clock.nowMs(); // the test clock never moves here
    StopAfter stop(rig, 4);
    rig.click(form.controls().Command4);
    QCOMPARE(rig.sheets.formulas().size(), size_t(4));
    QCOMPARE(rig.clock.nowMs(), start);
    QCOMPARE(form.controls().Combo1->count(), 7); // typed text is not added to the list
}

void TestRecording::nestedRecordingEndsWithTheSameStop()
{
    Rig rig;
    Form1 &form = rig.form();
    numberReadings(rig.counter(1));
    selectInterval(form, 0);
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (rowsOf(rig.sheets.formulas(), 2).size() >= 2) {
            stopper.stop();
            rig.click(form.controls().Command5);
        }
    });
    QTimer trigger;
    QObject::connect(&trigger, &QTimer::timeout, [&] {
        if (rig.sheets.formulas().size() >= 3 && form.link().activeWaits() == 1) {
            trigger.stop();
            stopper.start(0);
            rig.click(form.controls().Command4); // right after the first recording's "D1"
        }
    });
    trigger.start(0);
    rig.click(form.controls().Command4);
    QCOMPARE(rig.sheets.created, 2);
    // The nested recording counts from 1 in its own workbook; the first one
    // resumes, writes the reading it was waiting for into its own fourth
    // row, and ends on the same stop. Nothing is lost or written twice.
    QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(4));
    QCOMPARE(rowsOf(rig.sheets.formulas(), 2), oneTo(3));
    QVERIFY(std::ranges::is_sorted(numbersOf(rig, 1)));
    QVERIFY(std::ranges::is_sorted(numbersOf(rig, 2)));
    QVERIFY(eachOnce(numbersOf(rig, 0), rig.counter(1).readingsServed()));
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::exitDuringARecordingWritesNoFurtherRow()
{
    // The application is busy when the user leaves: what it has not taken
    // is saved, and nothing more is taken or written.
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 1); // 2 seconds
    ClockDriver driver(rig.clock, 100);
    driver.advanceWhen = [&] { return form.link().activePauses() > 0; };
    driver.onTick = [&](int) {
        if (rig.sheets.formulas().size() == 2 && !rig.sheets.busy())
            rig.sheets.setBusy(true);
        if (rig.sheets.unwrittenCount() == 2 && form.link().activePauses() > 0 && !rig.quits)
            rig.click(form.controls().Command3);
    };
    rig.click(form.controls().Command4);
    QCOMPARE(rig.quits, 1);
    QCOMPARE(rig.sheets.abandoned, 1);
    QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(2));
    QCOMPARE(sheetThenSaved(rig, 1), oneTo(4));
    QCOMPARE(rig.counter(1).readingsServed(), 4);
    auto endsWithRemoteOff = [&] {
        const std::string line = rig.counter(1).received();
        return line.size() >= 3 && line.compare(line.size() - 3, 3, "R0\r") == 0;
    };
    QTRY_VERIFY(endsWithRemoteOff());
}

void TestRecording::clicksInsideReplyWaitsLoseNoReading()
{
    // Every click lands right after a "D1" of the recording went out: the
    // reading on its way still reaches its row.
    Rig rig;
    Form1 &form = rig.form();
    numberReadings(rig.counter(1));
    selectInterval(form, 0);
    std::vector<int> shown; // what "Data" took
    QObject::connect(form.controls().Text1, &QLineEdit::textChanged, [&](const QString &text) {
        if (!text.isEmpty())
            shown.push_back(std::stoi(text.toStdString()));
    });
    const std::vector<QWidget *> clicks{
        form.controls().Option12, form.controls().Option15, control(form, portButtonName(1)), form.controls().Command2,
        form.controls().Option2,  form.controls().Option16, form.controls().Option1,          form.controls().Command2};
    size_t done = 0;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        // Only inside the recording's own reply wait, every other row.
        if (form.link().activeWaits() != 1 || rig.sheets.formulas().size() < 2 * (done + 1))
            return;
        if (done == clicks.size()) {
            driver.stop();
            rig.click(form.controls().Command5);
        } else {
            rig.click(clicks[done++]);
        }
    });
    driver.start(0);
    rig.click(form.controls().Command4);
    QCOMPARE(done, clicks.size());
    const std::vector<int> rows = numbersOf(rig, 1);
    QVERIFY(std::ranges::is_sorted(rows));
    QCOMPARE(shown.size(), size_t(2));
    std::vector<int> all = rows;
    all.insert(all.end(), shown.begin(), shown.end());
    QVERIFY(eachOnce(all, rig.counter(1).readingsServed()));
    QCOMPARE(rig.counter(1).gate(), 1);
    QVERIFY(!rig.counter(1).hold());
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::exitWithNestedRecordingsOnAFrozenSheetEndsWithinASecond()
{
    // Three recordings, each started inside the reply wait of the one
    // before; the sheet stops answering; EXIT right after a "D1".
    Rig rig;
    Form1 &form = rig.form();
    numberReadings(rig.counter(1));
    selectInterval(form, 0);
    std::array<QTimer, 3> levels; // a timer does not fire inside its own slot
    QElapsedTimer sinceExit;
    int servedAtFreeze = 0;
    for (int level = 0; level < 3; ++level) {
        QObject::connect(&levels[size_t(level)], &QTimer::timeout, [&, level] {
            if (rig.sheets.created != level + 1 || form.link().activeWaits() != level + 1
                || rowsOf(rig.sheets.formulas(), level + 1).size() < 2)
                return;
            if (level < 2) {
                levels[size_t(level)].stop();
                rig.click(form.controls().Command4);
            } else if (!rig.sheets.busy()) {
                rig.sheets.setBusy(true);
                servedAtFreeze = rig.counter(1).readingsServed();
            } else if (rig.counter(1).readingsServed() >= servedAtFreeze + 3) {
                levels[size_t(level)].stop();
                sinceExit.start();
                rig.click(form.controls().Command3);
            }
        });
        levels[size_t(level)].start(0);
    }
    rig.click(form.controls().Command4);
    const qint64 took = sinceExit.elapsed();
    QVERIFY2(sinceExit.isValid() && took < (ProgramLife::kEndBudget + kLoadedMachineMargin).count(),
             qPrintable(QString::number(took)));
    QCOMPARE(rig.quits, 1);
    QCOMPARE(rig.sheets.created, 3);
    // Nothing asked for after EXIT; its "R0" is the last thing sent.
    QTRY_VERIFY(rig.counter(1).received().ends_with("D1R0\r"));
    // Every reading served is in a sheet or in a file, once.
    QVERIFY(eachOnce(numbersOf(rig, 0, true), rig.counter(1).readingsServed()));
    for (int app = 1; app <= 3; ++app)
        QVERIFY(std::ranges::is_sorted(numbersOf(rig, app)));
    QVERIFY(!serialControl(form).portOpen());
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::endSignalDuringARecordingEndsWithinASecond()
{
    Rig rig;
    Form1 &form = rig.form();
    EndSignals endSignals;
    form.followEndRequests(endSignals);
    numberReadings(rig.counter(1));
    selectInterval(form, 0);
    QElapsedTimer sinceSignal;
    QTimer trigger;
    QObject::connect(&trigger, &QTimer::timeout, [&] {
        // Once the counter has the "D1": its reply is on the way.
        const int rows = int(rig.sheets.formulas().size());
        if (rows >= 5 && form.link().activeWaits() == 1 && rig.counter(1).readingsServed() > rows) {
            trigger.stop();
            sinceSignal.start();
            ::raise(SIGTERM);
        }
    });
    trigger.start(0);
    rig.click(form.controls().Command4);
    const qint64 took = sinceSignal.elapsed();
    QVERIFY2(sinceSignal.isValid() && took < (ProgramLife::kEndBudget + kLoadedMachineMargin).count(),
             qPrintable(QString::number(took)));
    QCOMPARE(rig.quits, 1);
    // The reading in flight reached the sheet; nothing was sent after it.
    QVERIFY(std::ranges::is_sorted(numbersOf(rig, 1)));
    QVERIFY(eachOnce(numbersOf(rig, 1), rig.counter(1).readingsServed()));
    QVERIFY(rig.counter(1).received().ends_with("D1"));
    // The port and its locks are free for another program.
    QVERIFY(!serialControl(form).portOpen());
    QSerialPort other(rig.devices[0]);
    QVERIFY(other.open(QIODevice::ReadWrite));
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::exitWhileTheApplicationStartsEndsAtOnce()
{
    Rig rig;
    rig.sheets.neverStarts = true;
    Form1 &form = rig.form();
    whileWaiting([&] { rig.click(form.controls().Command3); });
    rig.click(form.controls().Command4); // returns: the start is not waited for
    QCOMPARE(rig.quits, 1);
    QCOMPARE(rig.sheets.abandoned, 1);
    QVERIFY(rig.sheets.calls.empty());
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::busySheetDelaysReadingsButLosesNone()
{
    Rig rig;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    // Busy from the third reading until ten more were taken, then stopped
    // while busy again: the recording never waits for the sheet while it
    // runs, and the last readings land after the stop.
    QTimer driver;
    int phase = 0;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        const size_t inSheet = rig.sheets.formulas().size();
        const int served = rig.counter(1).readingsServed();
        if (phase == 0 && inSheet == 2) {
            rig.sheets.setBusy(true);
            phase = 1;
        } else if (phase == 1 && served >= 12) {
            QCOMPARE(rig.sheets.formulas().size(), size_t(2));
            rig.sheets.setBusy(false);
            phase = 2;
        } else if (phase == 2 && served >= 15) {
            rig.sheets.setBusy(true);
            rig.click(form.controls().Command5);
            phase = 3;
        } else if (phase == 3 && form.link().activeWaits() == 0) {
            rig.sheets.setBusy(false); // the recording waits for this
            driver.stop();
        }
    });
    driver.start(1);
    rig.click(form.controls().Command4);
    QCOMPARE(phase, 3);
    QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(rig.counter(1).readingsServed()));
    QVERIFY(rig.savedRows().empty());
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::failuresEndTheRecordingWithAMessage()
{
    {
        // No spreadsheet application to be had.
        Rig rig;
        rig.sheets.failCreate = true;
        Form1 &form = rig.form();
        rig.click(form.controls().Command4);
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(rig.messages[0].startsWith(QStringLiteral("Error 429:")), qPrintable(rig.messages[0]));
        QCOMPARE(rig.quits, 0);
        QVERIFY(rig.counter(1).commands().empty()); // no reading taken
    }
    {
        // No device behind the port: the recording never began, and the
        // message says only what failed.
        Rig rig;
        rig.devices[0].clear();
        Form1 &form = rig.form();
        rig.click(form.controls().Command4);
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(rig.messages[0].startsWith(QStringLiteral("Error 1: Port 1"))
                     && !rig.messages[0].contains(QStringLiteral("recording")),
                 qPrintable(rig.messages[0]));
        QCOMPARE(rig.sheets.created, 0);
    }
    {
        // The workbook is closed during the recording: the reading it refused
        // is saved, with its row, and the message names the file.
        Rig rig;
        rig.sheets.failFormulaAt = 3;
        Form1 &form = rig.form();
        selectInterval(form, 0);
        rig.click(form.controls().Command4); // ends by itself
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(
            rig.messages[0].startsWith(QStringLiteral("Error 1004: The workbook was closed. The recording has ended. "
                                                      "1 reading that did not reach the sheet is saved")),
            qPrintable(rig.messages[0]));
        QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(2));
        const auto saved = rig.savedRows();
        QCOMPARE(saved.size(), size_t(1));
        QVERIFY(rig.messages[0].contains(QStringLiteral(".csv")));
        QCOMPARE(sheetThenSaved(rig, 1), oneTo(3));
        QCOMPARE(rig.counter(1).readingsServed(), 3);
    }
    {
        // Stopped while the application takes nothing: after the limit the
        // waiting readings go to a file.
        Rig rig;
        rig.recorder.stallLimit = 50ms;
        Form1 &form = rig.form();
        selectInterval(form, 0);
        QTimer trigger;
        QObject::connect(&trigger, &QTimer::timeout, [&] {
            if (rig.sheets.formulas().size() == 3 && !rig.sheets.busy())
                rig.sheets.setBusy(true);
            if (rig.sheets.unwrittenCount() >= 3 && !form.recorder().stopRecord())
                rig.click(form.controls().Command5);
        });
        trigger.start(1);
        rig.click(form.controls().Command4);
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(rig.messages[0].contains(QStringLiteral("stopped taking readings: it took none for 50 ms")),
                 qPrintable(rig.messages[0]));
        QCOMPARE(rig.sheets.abandoned, 1);
        QCOMPARE(sheetThenSaved(rig, 1), oneTo(rig.counter(1).readingsServed()));
    }
    {
        // The counter's line hangs up: one message, which says the recording
        // ended, and every reading taken is in the sheet once.
        Rig rig;
        Form1 &form = rig.form();
        selectInterval(form, 0);
        QTimer trigger;
        QObject::connect(&trigger, &QTimer::timeout, [&] {
            if (rig.sheets.formulas().size() >= 5) {
                trigger.stop();
                rig.counter(1).hangUp();
            }
        });
        trigger.start(0);
        rig.click(form.controls().Command4);
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(rig.messages[0].startsWith(QStringLiteral("Error 9:")), qPrintable(rig.messages[0]));
        QVERIFY2(rig.messages[0].endsWith(QStringLiteral("The recording has ended.")), qPrintable(rig.messages[0]));
        QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(qint64(rig.sheets.formulas().size())));
        QVERIFY(!serialControl(form).portOpen());
    }
    {
        // The user picks a port number with nothing behind it mid-recording.
        Rig rig;
        Form1 &form = rig.form();
        selectInterval(form, 1);
        ClockDriver driver(rig.clock, 100);
        driver.advanceWhen = [&] { return form.link().activePauses() > 0; };
        driver.onTick = [&](int) {
            if (rig.sheets.formulas().size() == 2 && form.link().activePauses() > 0 && rig.messages.isEmpty())
                rig.clickPort(5);
        };
        rig.click(form.controls().Command4);
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(rig.messages[0].contains(QStringLiteral("no serial port behind this number"))
                     && rig.messages[0].endsWith(QStringLiteral("The recording has ended.")),
                 qPrintable(rig.messages[0]));
        QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(2));
    }
}

void TestRecording::fullSheetEndsTheRecording()
{
    Rig rig;
    rig.sheets.lastRow = 3;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    rig.click(form.controls().Command4); // ends by itself at the sheet's last row
    QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(3));
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY(rig.messages[0].contains(QStringLiteral("full")));
    QCOMPARE(rig.counter(1).commands().size(), size_t(3)); // no reading taken that has no row
}

void TestRecording::aWriteGivenUpThatLandsLaterIsMarkedInTheFile()
{
    // The sheet stops answering in the middle of a write and is given up
    // after "Stop Record"; that write lands later all the same. Readings a
    // spreadsheet would evaluate go to the file inert, without their CR.
    Rig rig;
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->answerAfterCancel();
    rig.spreadsheetFactory = queuedFake(journal, refreshOnce());
    rig.recorder.stallLimit = 100ms;
    rig.counter(1).setCustomReply("=1+2,\"\xB5s\" hostile\r");
    Form1 &form = rig.form();
    selectInterval(form, 0);
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (rowsWritten(*journal).size() >= 2)
            journal->closeGate();
        if (journal->waitingAtGate() == 1 && unwrittenNow(form) >= 3) {
            driver.stop();
            rig.click(form.controls().Command5);
        }
    });
    driver.start(1);
    rig.click(form.controls().Command4);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(
        rig.messages[0].contains(QStringLiteral("stopped taking readings"))
            && rig.messages[0].contains(QStringLiteral(" did not reach the sheet; "))
            && rig.messages[0].contains(QStringLiteral("being written when it stopped answering and may be there too")),
        qPrintable(rig.messages[0]));

    journal->openGate();
    QTRY_VERIFY(journal->destroyed());
    const QString where = whereRowsWent(rig, *journal);
    QVERIFY2(matches(where, "^SS+M+F+$"), qPrintable(where));
    const QByteArray text = rig.savedText();
    QVERIFY2(text.startsWith("row,reading,note\n") && !text.contains('\r'), text.constData());
    for (const Rig::SavedRow &saved : rig.savedRows())
        QCOMPARE(saved.reading, std::string("'=1+2,\"\xC2\xB5s\" hostile"));
}

void TestRecording::savedFilesAreWholeAndNeverReplaced()
{
    // Two saves in the same second, the second with a file of the user's in
    // the way: each goes to a name of its own, and nothing else is left.
    QTemporaryDir folder;
    const QDateTime when(QDate(2026, 12, 7), QTime(10, 30));
    const QString taken = folder.filePath(QStringLiteral("frequency-tallyo-unwritten-2026-12-07_10-30-00-2.csv"));
    QFile user(taken);
    QVERIFY(user.open(QIODevice::WriteOnly) && user.write("the user's\n") > 0);
    user.close();
    const SavedReadings first = saveUnwrittenReadings({{7, 1, "1.5 Hz", true}}, folder.path(), when);
    const SavedReadings second = saveUnwrittenReadings({{8, 1, "2.5 Hz", false}}, folder.path(), when);
    QCOMPARE(QFileInfo(first.path).fileName(), QStringLiteral("frequency-tallyo-unwritten-2026-12-07_10-30-00.csv"));
    QCOMPARE(QFileInfo(second.path).fileName(), QStringLiteral("frequency-tallyo-unwritten-2026-12-07_10-30-00-3.csv"));
    QCOMPARE(Rig::savedTextIn(folder.path()),
             QByteArray("the user's\nrow,reading,note\n8,2.5 Hz,\nrow,reading,note\n7,1.5 Hz,maybe-in-sheet\n"));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 3);

    const SavedReadings nowhere =
        saveUnwrittenReadings({{9, 1, "3.5 Hz", false}}, folder.filePath(QStringLiteral("missing")), when);
    QVERIFY(nowhere.path.isEmpty());
    QVERIFY2(nowhere.error.startsWith(QDir::toNativeSeparators(folder.filePath(QStringLiteral("missing")))),
             qPrintable(nowhere.error));
}

void TestRecording::exitWhileAWriteNeverAnswersSavesItAsMaybe()
{
    Rig rig;
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->answerAfterCancel();
    rig.spreadsheetFactory = queuedFake(journal, refreshOnce());
    Form1 &form = rig.form();
    selectInterval(form, 1); // 2 seconds: EXIT comes in a pause
    QElapsedTimer sinceExit;
    ClockDriver driver(rig.clock, 100);
    driver.advanceWhen = [&] { return form.link().activePauses() > 0; };
    driver.onTick = [&](int) {
        if (rowsWritten(*journal).size() >= 2 && !rig.quits)
            journal->closeGate();
        if (journal->waitingAtGate() == 1 && unwrittenNow(form) >= 3 && form.link().activePauses() > 0 && !rig.quits) {
            sinceExit.start();
            rig.click(form.controls().Command3);
        }
    };
    rig.click(form.controls().Command4);
    QVERIFY2(sinceExit.elapsed() < (ProgramLife::kEndBudget + kLoadedMachineMargin).count(),
             qPrintable(QString::number(sinceExit.elapsed())));
    QCOMPARE(rig.quits, 1);
    QVERIFY(rig.messages.isEmpty());
    const QString where = whereRowsWent(rig, *journal);
    QVERIFY2(matches(where, "^SS+m+F+$"), qPrintable(where));
    journal->openGate(); // lets the worker end
    QTRY_VERIFY(journal->destroyed());
}

void TestRecording::aBacklogThatDrainsSlowlyIsNeverCut()
{
    // The application takes a cell in 60 ms, slower than the line brings
    // them: after "Stop Record" a backlog of 20 (at least 1.2 s of writing)
    // drains for longer than the limit, a cell at a time, and is never cut.
    // The limit is many cells long, so a busy machine cannot make one look
    // like a stall.
    Rig rig;
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->setHook([](const FakeSheetCall &call) {
        if (call.kind == FakeSheetCall::Kind::Cells)
            std::this_thread::sleep_for(60ms * call.texts.size());
    });
    QueueSettings settings;
    settings.writeTarget = 20ms;
    rig.spreadsheetFactory = queuedFake(journal, settings);
    rig.recorder.stallLimit = 1000ms;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    QElapsedTimer sinceStop;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (unwrittenNow(form) >= 20) {
            driver.stop();
            sinceStop.start();
            rig.click(form.controls().Command5);
        }
    });
    driver.start(1);
    rig.click(form.controls().Command4);
    QVERIFY2(rig.messages.isEmpty(), qPrintable(rig.messages.join(u'\n')));
    QVERIFY2(sinceStop.elapsed() > rig.recorder.stallLimit.count(), qPrintable(QString::number(sinceStop.elapsed())));
    QCOMPARE(rowsWritten(*journal), oneTo(rig.counter(1).readingsServed()));
    QVERIFY(rig.savedRows().empty());
}

void TestRecording::stopEndsRecordingsWhileTheCounterIsSilent()
{
    // A recording nested in another's reply wait; the counter goes silent;
    // one Stop, right after a "D1" asked again reached it, ends both.
    Rig rig;
    Form1 &form = rig.form();
    numberReadings(rig.counter(1));
    rig.click(form.controls().Option11); // 0.01 s: the reply's bound is short
    selectInterval(form, 0);
    form.controls().Text1->setText(QStringLiteral("shown before"));
    size_t seen = 0;
    size_t commandsAtStop = 0;
    QTimer nest; // a timer does not fire inside its own slot
    QObject::connect(&nest, &QTimer::timeout, [&] {
        if (rig.sheets.formulas().size() >= 3 && form.link().activeWaits() == 1) {
            nest.stop();
            rig.click(form.controls().Command4);
        }
    });
    nest.start(1);
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        const size_t commands = rig.counter(1).commands().size();
        if (rig.sheets.created == 2 && rowsOf(rig.sheets.formulas(), 2).size() >= 2 && !seen) {
            rig.counter(1).setReply(Reply::Silent);
            seen = commands;
        } else if (seen && showsNoReply(form) && busyPointer() && commands > seen) {
            driver.stop();
            commandsAtStop = commands;
            rig.click(form.controls().Command5);
        } else if (seen) {
            seen = std::max(seen, commands);
        }
    });
    driver.start(1);
    rig.click(form.controls().Command4);
    QVERIFY(commandsAtStop > 0);
    // The counter answers again and settings are clicked: no recording asks.
    rig.counter(1).setReply(Reply::Normal);
    rig.click(form.controls().Option13);
    rig.click(form.controls().Option12);
    QVERIFY(rig.counter(1).waitForCommands(commandsAtStop + 2, 5s));
    std::vector<std::string> after = rig.counter(1).commands();
    after.erase(after.begin(), after.begin() + qsizetype(commandsAtStop));
    QCOMPARE(after, (std::vector<std::string>{"G2\r", "G1\r"}));
    for (int app : {1, 2})
        QCOMPARE(rowsOf(rig.sheets.formulas(), app), oneTo(qint64(rowsOf(rig.sheets.formulas(), app).size())));
    QVERIFY(eachOnce(numbersOf(rig, 0), rig.counter(1).readingsServed()));
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("shown before"));
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(rig.messages.isEmpty());
    // A new recording is one of its own, from row 1 of a new workbook.
    StopAfter stop(rig, rig.sheets.formulas().size() + 2);
    rig.click(form.controls().Command4);
    QCOMPARE(rig.sheets.created, 3);
    QCOMPARE(rowsOf(rig.sheets.formulas(), 3), oneTo(2));
}

void TestRecording::recordingGoesOnWhenASilentCounterAnswersAgain()
{
    Rig rig;
    Form1 &form = rig.form();
    numberReadings(rig.counter(1));
    rig.click(form.controls().Option11); // 0.01 s
    selectInterval(form, 0);
    form.controls().Text1->setText(QStringLiteral("shown before"));
    int phase = 0;
    size_t silentFrom = 0;
    size_t rowsBack = 0;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        const size_t rows = rig.sheets.formulas().size();
        if (phase == 0 && rows >= 3) {
            rig.counter(1).setReply(Reply::Silent);
            silentFrom = rig.counter(1).commands().size();
            phase = 1;
        } else if (phase == 1 && showsNoReply(form) && rig.counter(1).commands().size() >= silentFrom + 2) {
            // Asked again at least once while silent; now it answers.
            rig.counter(1).setReply(Reply::Normal);
            rowsBack = rows;
            phase = 2;
        } else if (phase == 2 && rows >= rowsBack + 3) {
            driver.stop();
            QCOMPARE(form.controls().Text1->text(), QStringLiteral("shown before"));
            rig.click(form.controls().Command5);
        }
    });
    driver.start(1);
    rig.click(form.controls().Command4);
    QCOMPARE(phase, 2);
    QCOMPARE(rowsOf(rig.sheets.formulas(), 1), oneTo(rig.counter(1).readingsServed()));
    QVERIFY(std::ranges::is_sorted(numbersOf(rig, 1)));
    QVERIFY(eachOnce(numbersOf(rig, 1), rig.counter(1).readingsServed()));
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(rig.messages.isEmpty());
}

void TestRecording::aSlowFitThatFinishesIsNoStall()
{
    // The first fit takes a second (an office frozen for a while, then
    // resumed); "Stop Record" right after it: the fit owed at the end is not
    // held back by what the slow one cost, and no failure is reported.
    Rig rig;
    auto journal = std::make_shared<FakeSheetJournal>();
    journal->setHook([fits = 0](const FakeSheetCall &call) mutable {
        if (call.kind == FakeSheetCall::Kind::AutoFit && fits++ == 0)
            std::this_thread::sleep_for(1s);
    });
    rig.spreadsheetFactory = queuedFake(journal);
    rig.recorder.stallLimit = 2500ms;
    Form1 &form = rig.form();
    selectInterval(form, 0);
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (journal->count(FakeSheetCall::Kind::AutoFit) == 1) {
            driver.stop();
            rig.click(form.controls().Command5);
        }
    });
    driver.start(1);
    rig.click(form.controls().Command4);
    QVERIFY2(rig.messages.isEmpty(), qPrintable(rig.messages.join(u'\n')));
    QCOMPARE(journal->count(FakeSheetCall::Kind::AutoFit), 2);
    QCOMPARE(rowsWritten(*journal), oneTo(rig.counter(1).readingsServed()));
}

void TestRecording::losingTheDisplayEndsLikeASignal_data()
{
    QTest::addColumn<bool>("serverDies");
    QTest::newRow("the X server dies") << true;
    QTest::newRow("the connection is killed") << false;
}

void TestRecording::losingTheDisplayEndsLikeASignal()
{
    // The window runs in a process of its own on a display of the test's,
    // recording into a sheet that has stopped answering.
    QFETCH(bool, serverDies);
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfb.isEmpty() || xdotool.isEmpty())
        QSKIP("needs Xvfb and xdotool");
    QProcess server;
    server.start(xvfb,
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                  QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("640x480x24")});
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 30'000);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(server.readLine().trimmed()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));

    sim::CounterSim counter;
    numberReadings(counter);
    const QString device = QString::fromStdString(counter.devicePath());
    QTemporaryDir folder;
    QProcess window;
    window.setProcessEnvironment(env);
    window.start(qEnvironmentVariable("TALLYO_BUILD_DIR") + QStringLiteral("/tests/display-loss-window"),
                 {device, folder.path()});
    QTRY_VERIFY_WITH_TIMEOUT(window.canReadLine(), 30'000);
    const QString id = QString::fromLatin1(window.readLine().trimmed()).section(u' ', 1);
    QTRY_VERIFY_WITH_TIMEOUT(counter.readingsServed() >= 20, 30'000);
    QStringList lockFiles;
    for (const QString &directory : lockDirectories())
        if (QFile::exists(directory + u'/' + lockFileName(device)))
            lockFiles << directory + u'/' + lockFileName(device);
    QVERIFY(!lockFiles.isEmpty());
    // Silent from here: once it is asked again, every reading it served has
    // reached the program.
    const size_t asked = counter.commands().size();
    counter.setReply(Reply::Silent);
    QTRY_VERIFY(counter.commands().size() > asked);
    const int served = counter.readingsServed();

    QElapsedTimer took;
    took.start();
    if (serverDies) {
        server.kill();
    } else {
        QProcess kill;
        kill.setProcessEnvironment(env);
        kill.start(xdotool, {QStringLiteral("windowkill"), id});
        QVERIFY(kill.waitForFinished(30'000));
    }
    QVERIFY(window.waitForFinished(30'000));
    qInfo("ended %lld ms after the display went", took.elapsed());
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    const QByteArray said = window.readAllStandardError();
    QVERIFY2(said.contains("frequency-tallyo: ") && said.contains(".csv"), said.constData());
    // Every reading served is in the file, at its row, once.
    const std::vector<Rig::SavedRow> saved = Rig::savedRowsIn(folder.path());
    QCOMPARE(int(saved.size()), served);
    for (int n = 1; n <= served; ++n) {
        QCOMPARE(saved[size_t(n - 1)].row, n);
        QCOMPARE(std::stoi(saved[size_t(n - 1)].reading), n);
    }
    // The port and its lock file are free for another program.
    for (const QString &file : lockFiles)
        QVERIFY2(!QFile::exists(file), qPrintable(file));
    QSerialPort other(device);
    QVERIFY(other.open(QIODevice::ReadWrite));
}

QTEST_MAIN(TestRecording)
#include "tst_recording.moc"
