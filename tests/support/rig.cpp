#include "rig.h"

#include "layout.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace tallyo {
// The one way tests reach the serial control behind a link.
struct SerialControlOf {
    static MSComm &get(CounterLink &link) { return link.m_comm; }
};
} // namespace tallyo

namespace tallyo::test {

class FakeSheets::App : public SpreadsheetApp {
public:
    App(FakeSheets &sheets, int id) : m_sheets(sheets), m_id(id) { m_sheets.m_apps.push_back(this); }
    ~App() override { std::erase(m_sheets.m_apps, this); }

    void setVisible(bool) override { take({m_id, "visible"}); }
    void addWorkbook() override { take({m_id, "add"}); }
    void setCellFormula(long long row, int column, const std::string &text) override
    {
        ++m_formulas;
        if (m_sheets.failFormulaAt && m_formulas == m_sheets.failFormulaAt && !m_failure)
            m_failure = SpreadsheetError(SpreadsheetErrorNumber::DocumentGone, "The workbook was closed.");
        take({m_id, "formula", row, column, text});
    }
    void autoFitColumns(const std::string &range) override { take({m_id, "autofit", 0, 0, range}); }
    void setSelectionNumberFormat(const std::string &code) override { take({m_id, "format", 0, 0, code}); }
    long long lastRow() const override { return m_sheets.lastRow; }

    bool started() const override { return !m_sheets.neverStarts; }
    bool settled() const override { return m_waiting.empty() && !m_failure; }
    std::uint64_t callsAnswered() const override { return m_answered; }
    std::optional<SpreadsheetError> failure() const override { return m_failure; }
    std::vector<SheetCell> unwritten() const override
    {
        std::vector<SheetCell> cells;
        for (const SheetCall &c : m_waiting)
            if (c.call == "formula")
                cells.push_back({c.row, c.column, c.text});
        return cells;
    }
    void setChangeNotifier(std::function<void()> notify) override { m_notify = std::move(notify); }
    void abandon() override
    {
        ++m_sheets.abandoned;
        if (!m_failure)
            m_failure = SpreadsheetError(SpreadsheetErrorNumber::Abandoned, "Given up.");
        changed();
    }

    // Hands what waits to the sheet, as far as the application takes it.
    void flush()
    {
        while (!m_failure && !m_sheets.m_busy && !m_waiting.empty()) {
            m_sheets.calls.push_back(m_waiting.front());
            m_waiting.erase(m_waiting.begin());
            ++m_answered;
        }
        changed();
    }

private:
    void take(SheetCall call)
    {
        m_waiting.push_back(std::move(call));
        flush();
    }
    void changed()
    {
        if (m_notify)
            m_notify();
    }

    FakeSheets &m_sheets;
    int m_id;
    int m_formulas = 0;
    std::uint64_t m_answered = 0;
    std::vector<SheetCall> m_waiting;
    std::optional<SpreadsheetError> m_failure;
    std::function<void()> m_notify;
};

FakeSheets::FakeSheets() = default;
FakeSheets::~FakeSheets() = default;

SpreadsheetFactory FakeSheets::factory()
{
    return [this]() -> std::unique_ptr<SpreadsheetApp> {
        if (failCreate)
            throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled, "No spreadsheet application is installed.");
        return std::make_unique<App>(*this, ++created);
    };
}

void FakeSheets::setBusy(bool busy)
{
    m_busy = busy;
    for (App *app : std::vector<App *>(m_apps))
        app->flush();
}

size_t FakeSheets::unwrittenCount() const
{
    size_t count = 0;
    for (const App *app : m_apps)
        count += app->unwritten().size();
    return count;
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
    recorder.unwrittenFolder = m_savedFolder.path();
}

QByteArray Rig::savedTextIn(const QString &path)
{
    QByteArray text;
    QDir folder(path);
    for (const QString &name : folder.entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += file.readAll();
    }
    return text;
}

std::vector<Rig::SavedRow> Rig::savedRowsIn(const QString &folder)
{
    // RFC 4180: fields split at commas outside quotes, "" inside quotes is one ".
    std::vector<std::vector<std::string>> lines(1);
    std::string field;
    bool quoted = false;
    const QByteArray text = savedTextIn(folder);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ',' || c == '\n')) {
            lines.back().push_back(std::exchange(field, {}));
            if (c == '\n')
                lines.emplace_back();
        } else {
            field += c;
        }
    }
    std::vector<SavedRow> rows;
    for (const auto &fields : lines) {
        if (fields.size() == 3 && fields[0] != "row") // not the heading
            rows.push_back({std::stoll(fields[0]), fields[1], fields[2] == "maybe-in-sheet"});
    }
    return rows;
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
        deps.portMap = fixedPortMap(devices);
        deps.clock = &clock;
        deps.spreadsheetFactory = spreadsheetFactory ? spreadsheetFactory : sheets.factory();
        deps.recorder = recorder;
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
    click(control(form(), portButtonName(portNumber)));
}

MSComm &serialControl(Form1 &form)
{
    return SerialControlOf::get(form.link());
}

QWidget *control(const Form1 &form, const QString &name)
{
    return form.findChild<QWidget *>(name);
}

int intervalPosition(const Form1 &form)
{
    return form.findChild<IntervalList *>()->position();
}

QString portButtonName(int portNumber)
{
    for (const OptionGroup &group : optionGroups())
        for (const OptionMember &member : group.members)
            if (member.meaning.kind == OptionMeaning::Kind::Port && member.meaning.port == portNumber)
                return QLatin1String(member.button);
    return {};
}

ClockDriver::ClockDriver(TestClock &clock, qint64 stepMs) : m_clock(clock), m_step(stepMs), m_timer(new QTimer(this))
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
