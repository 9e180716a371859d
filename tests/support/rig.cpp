#include "rig.h"

#include <QAbstractButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace tallyo::test {

namespace {
class FakeApp : public SpreadsheetApp {
public:
    FakeApp(FakeSheets &sheets, int id) : m_sheets(sheets), m_id(id) {}
    void setVisible(bool) override { record("visible"); }
    void addWorkbook() override { record("add"); }
    void setCellFormula(long long row, int column, const std::string &text) override
    {
        ++m_formulas;
        if (m_failure) // [sheet layer: stop-gap] cells after a failure are kept, not written
            return;
        if (m_sheets.failFormulaAt && m_formulas == m_sheets.failFormulaAt) {
            m_failure = SpreadsheetError(SpreadsheetErrorNumber::DocumentGone, "The workbook was closed.");
            return;
        }
        m_sheets.calls.push_back({m_id, "formula", int(row), column, text});
    }
    void autoFitColumns(const std::string &range) override { record("autofit", range); }
    void setSelectionNumberFormat(const std::string &code) override { record("format", code); }
    long long lastRow() const override { return m_sheets.lastRow; }
    // [sheet layer: stop-gap] every call takes effect at once.
    bool started() const override { return true; }
    bool settled() const override { return !m_failure; }
    std::optional<SpreadsheetError> failure() const override { return m_failure; }
    std::vector<SheetCell> unwritten() const override { return {}; }
    void setChangeNotifier(std::function<void()>) override {}
    void abandon() override {}

private:
    void record(const char *call, const std::string &text = {})
    {
        m_sheets.calls.push_back({m_id, call, 0, 0, text});
    }
    FakeSheets &m_sheets;
    int m_id;
    int m_formulas = 0;
    std::optional<SpreadsheetError> m_failure;
};
} // namespace

SpreadsheetFactory FakeSheets::factory()
{
    return [this]() -> std::unique_ptr<SpreadsheetApp> {
        if (failCreate)
            throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled, "No spreadsheet application is installed.");
        return std::make_unique<FakeApp>(*this, ++created);
    };
}

std::vector<SheetCall> FakeSheets::formulas() const
{
    std::vector<SheetCall> out;
    for (const SheetCall &c : calls)
        if (c.call == "formula")
            out.push_back(c);
    return out;
}

Rig::Rig(int counters, sim::CounterSim::Options options)
{
    for (int i = 0; i < counters; ++i) {
        m_counters.push_back(std::make_unique<sim::CounterSim>(options));
        devices << QString::fromStdString(m_counters.back()->devicePath());
    }
    while (devices.size() < 6)
        devices << QString();
}

Rig::~Rig()
{
    m_form.reset();
    m_counters.clear();
}

Form1 &Rig::form()
{
    if (!m_form) {
        Form1Dependencies deps;
        deps.portMap = [this](int n) { return n >= 1 && n <= devices.size() ? devices.at(n - 1) : QString(); };
        deps.clock = &clock;
        deps.spreadsheetFactory = spreadsheetFactory ? spreadsheetFactory : sheets.factory();
        deps.showMessage = [this](const QString &text) { messages << text; };
        deps.quit = [this] { ++quits; };
        m_form = std::make_unique<Form1>(std::move(deps));
        m_form->Form_Load();
        m_form->show();
    }
    return *m_form;
}

void Rig::click(QWidget *control)
{
    QTest::mouseClick(control, Qt::LeftButton);
}

void Rig::clickPort(int portNumber)
{
    QRadioButton *buttons[] = {form().Option20, form().Option21, form().Option22,
                               form().Option23, form().Option24, form().Option25};
    click(buttons[portNumber - 1]);
}

ClockDriver::ClockDriver(TestClock &clock, qint64 stepMs)
    : m_clock(clock), m_step(stepMs), m_timer(new QTimer(this))
{
    m_timer->setInterval(0);
    connect(m_timer, &QTimer::timeout, this, [this] {
        ++ticks;
        if (onTick)
            onTick(ticks);
        if (!advanceWhen || advanceWhen())
            m_clock.advance(m_step);
    });
    m_timer->start();
}

void whileWaiting(std::function<void()> action)
{
    QTimer::singleShot(0, std::move(action));
}

} // namespace tallyo::test
