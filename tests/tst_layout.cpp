// The window as the user sees it: every control's name, kind, place, size,
// caption and tip, the fonts and colours, the option groups, the Tab order,
// the keys that must do nothing, and what the display, resizing and the
// interval list do.
// The figures below are written out here on purpose, apart from the window's
// own table, so that a wrong entry there shows up as a failure here.
#include "layout.h"
#include "rig.h"
#include "startup.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>

#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

using namespace tallyo;
using namespace tallyo::test;

namespace {

constexpr int kTwips = 15; // twips to the pixel

struct Figure {
    const char *name;
    const char *kind; // Qt class
    const char *container; // "" for the window
    const char *caption;
    int left, top, width, height; // twips; an option's Left and Top from its frame
    int clientLeft, clientTop; // twips from the window's client area
    const char *tip;
};

const Figure kFigures[] = {
    {"Frame6", "QGroupBox", "", "Comm Port", 120, 480, 4455, 615, 120, 480, ""},
    {"Frame5", "QGroupBox", "", "Select Frequency Counter Model", 120, 1200, 4455, 735, 120, 1200, ""},
    {"Frame2", "QGroupBox", "", "Select Function", 120, 2040, 4455, 2175, 120, 2040,
     "Select a function to set/display on frequency counter"},
    {"Frame1", "QGroupBox", "", "Hold", 120, 4320, 2055, 1215, 120, 4320, "Set the hold mode"},
    {"Frame3", "QGroupBox", "", "Remote", 2520, 4320, 2055, 1215, 2520, 4320, "Set the remote mode"},
    {"Frame4", "QGroupBox", "", "Gate Time", 120, 5640, 4455, 1215, 120, 5640, "Adjust the gate time setting"},

    {"Option20", "QRadioButton", "Frame6", "1", 240, 240, 375, 195, 360, 720, ""},
    {"Option21", "QRadioButton", "Frame6", "2", 960, 240, 375, 195, 1080, 720, ""},
    {"Option22", "QRadioButton", "Frame6", "3", 1680, 240, 375, 195, 1800, 720, ""},
    {"Option23", "QRadioButton", "Frame6", "4", 2400, 240, 375, 195, 2520, 720, ""},
    {"Option24", "QRadioButton", "Frame6", "5", 3120, 240, 495, 195, 3240, 720, ""},
    {"Option25", "QRadioButton", "Frame6", "6", 3840, 240, 495, 195, 3960, 720, ""},
    {"Option15", "QRadioButton", "Frame5", "QF-63", 1080, 360, 855, 255, 1200, 1560, ""},
    {"Option16", "QRadioButton", "Frame5", "QF-27", 2640, 360, 855, 255, 2760, 1560, ""},
    {"Option4", "QRadioButton", "Frame2", "Frequency From A", 240, 360, 1815, 255, 360, 2400, ""},
    {"Option5", "QRadioButton", "Frame2", "Frequency From C", 240, 720, 1695, 255, 360, 2760, ""},
    {"Option6", "QRadioButton", "Frame2", "Period of Frequency", 240, 1080, 1815, 255, 360, 3120, ""},
    {"Option7", "QRadioButton", "Frame2", "Total count", 240, 1440, 1215, 255, 360, 3480, ""},
    {"Option8", "QRadioButton", "Frame2", "RPM of Frequency", 240, 1800, 1695, 255, 360, 3840, ""},
    {"Option17", "QRadioButton", "Frame2", "Frequency From B", 2400, 360, 1695, 255, 2520, 2400, ""},
    {"Option18", "QRadioButton", "Frame2", "Ratio", 2400, 720, 1695, 255, 2520, 2760, ""},
    {"Option19", "QRadioButton", "Frame2", "TI", 2400, 1080, 1455, 255, 2520, 3120, ""},
    {"Option1", "QRadioButton", "Frame1", "Off", 240, 240, 855, 255, 360, 4560, ""},
    {"Option2", "QRadioButton", "Frame1", "On", 240, 480, 615, 375, 360, 4800, ""},
    {"Option3", "QRadioButton", "Frame1", "Toggle", 240, 840, 855, 255, 360, 5160, ""},
    {"Option9", "QRadioButton", "Frame3", "On", 240, 360, 735, 255, 2760, 4680, ""},
    {"Option10", "QRadioButton", "Frame3", "Off", 240, 720, 735, 255, 2760, 5040, ""},
    {"Option11", "QRadioButton", "Frame4", "0.01 sec", 600, 360, 1095, 255, 720, 6000, ""},
    {"Option12", "QRadioButton", "Frame4", "0.1 sec", 600, 720, 1095, 255, 720, 6360, ""},
    {"Option13", "QRadioButton", "Frame4", "1 sec", 2280, 360, 975, 255, 2400, 6000, ""},
    {"Option14", "QRadioButton", "Frame4", "10 sec", 2280, 720, 1095, 255, 2400, 6360, ""},

    {"Label4", "QLabel", "", "CHOOSE COMM PORT FIRST", 240, 120, 2535, 255, 240, 120, ""},
    {"Command2", "QPushButton", "", "Data", 120, 7080, 855, 495, 120, 7080,
     "Click here to retrieve display data from counter"},
    {"Command1", "QPushButton", "", "CLEAR", 1920, 7080, 975, 495, 1920, 7080, "Click here to clear display below"},
    {"Command3", "QPushButton", "", "EXIT", 3720, 7080, 855, 495, 3720, 7080, "Click to exit program"},
    {"Label2", "QLabel", "", "Click \"Data\" to retrieve display info below", 120, 7680, 3135, 255, 120, 7680, ""},
    {"Text1", "QLineEdit", "", "", 120, 7920, 4455, 735, 120, 7920, "Display box to show retrieved data"},
    {"Label1", "QLabel", "", "Set Data Read Interval", 360, 8760, 1695, 255, 360, 8760, ""},
    {"Combo1", "QComboBox", "", "Combo1", 360, 9120, 1695, 315, 360, 9120, ""},
    {"Command4", "QPushButton", "", "Data to Excel", 2160, 8880, 1095, 615, 2160, 8880, ""},
    {"Command5", "QPushButton", "", "Stop Record", 3480, 8880, 1095, 615, 3480, 8880, ""},
};

const char *const kTabOrder[] = {
    "Option1",  "Option2",  "Text1",    "Command2", "Option3",  "Option4",  "Option5",  "Option6",
    "Option7",  "Option8",  "Option9",  "Option10", "Option11", "Option12", "Option13", "Option14",
    "Command1", "Command3", "Option15", "Option16", "Option17", "Option18", "Option19", "Option20",
    "Option21", "Option22", "Option23", "Command4", "Combo1",   "Command5", "Option24", "Option25",
};
constexpr int kTabStops = int(std::size(kTabOrder));

const QStringList kIntervals = {"Fastest (~44rdgs/s)", "2 Seconds",  "5 Seconds", "10 Seconds",
                                "20 Seconds",          "30 Seconds", "1 Minute"};

QRect pixels(int left, int top, int width, int height)
{
    return QRect(left / kTwips, top / kTwips, width / kTwips, height / kTwips);
}

QString captionOf(const QWidget *w)
{
    if (auto *b = qobject_cast<const QAbstractButton *>(w))
        return b->text();
    if (auto *g = qobject_cast<const QGroupBox *>(w))
        return g->title();
    if (auto *l = qobject_cast<const QLabel *>(w))
        return l->text();
    if (auto *e = qobject_cast<const QLineEdit *>(w))
        return e->text();
    if (auto *c = qobject_cast<const QComboBox *>(w))
        return c->currentText();
    return QStringLiteral("<no caption>");
}

QWidget *find(Form1 &form, const char *name)
{
    return form.findChild<QWidget *>(QLatin1String(name));
}

QList<QRadioButton *> optionsOf(Form1 &form, const char *frame)
{
    return find(form, frame)->findChildren<QRadioButton *>(Qt::FindDirectChildrenOnly);
}

// The control the keyboard focus is on, by name (a combo box's own line edit counts as the combo).
QString focusedControl(Form1 &form)
{
    QWidget *w = QApplication::focusWidget();
    while (w && w->parentWidget() && w->parentWidget() != &form && !qobject_cast<QGroupBox *>(w->parentWidget()))
        w = w->parentWidget();
    return w ? w->objectName() : QStringLiteral("<none>");
}

bool activate(Form1 &form)
{
    form.activateWindow();
    return QTest::qWaitForWindowActive(&form);
}

// A window not yet loaded, for what the window is before Form_Load runs.
std::unique_ptr<Form1> unloadedForm(QStringList &messages)
{
    Form1Dependencies deps;
    deps.portMap = [](int) { return QString(); };
    deps.showMessage = [&messages](const QString &text) { messages << text; };
    deps.quit = [] {};
    return std::make_unique<Form1>(std::move(deps));
}

} // namespace

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void windowHasItsCaptionSizeAndNoMenu();
    void everyControlMatchesItsFigures_data();
    void everyControlMatchesItsFigures();
    void noControlBeyondTheFigures();
    void captionsAndMarksFitTheirControls();
    void startsWithNothingSelectedAndEverythingUsable();
    void displayBoxIsLargeWhiteOnNavy();
    void displayShowsTheLatestReadingWithTheCaretAtItsEnd();
    void intervalListIsLoadedAndAcceptsTypedText();
    void eachFrameIsOneGroupOfItsOwn();
    void groupTableAgreesWithTheLayout();
    void selectingInOneGroupLeavesTheOthers();
    void focusChainFollowsTheTabOrder();
    void tabVisitsEveryControlInOrder_data();
    void tabVisitsEveryControlInOrder();
    void enterAndEscapeClickNothing();
    void resizingMovesNoControl();
    void screenReadersHearWhatEachControlIs();

private:
    std::unique_ptr<Rig> m_rig; // a loaded window that the read-only checks share
};

void TestLayout::initTestCase()
{
    applyAppearance();
    m_rig = std::make_unique<Rig>();
    m_rig->form();
}

void TestLayout::cleanupTestCase()
{
    m_rig.reset();
}

void TestLayout::windowHasItsCaptionSizeAndNoMenu()
{
    Form1 &form = m_rig->form();
    QCOMPARE(form.windowTitle(), QStringLiteral("Frequency Tallyo"));
    QCOMPARE(form.size(), QSize(4710 / kTwips, 9780 / kTwips));
    QVERIFY(form.findChildren<QMenuBar *>().isEmpty());
    QVERIFY(form.isVisible());
}

void TestLayout::everyControlMatchesItsFigures_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(kFigures)); ++i)
        QTest::newRow(kFigures[i].name) << i;
}

void TestLayout::everyControlMatchesItsFigures()
{
    QFETCH(int, row);
    const Figure &f = kFigures[row];
    Form1 &form = m_rig->form();
    QWidget *w = find(form, f.name);
    QVERIFY2(w, f.name);
    QCOMPARE(control(form, QLatin1String(f.name)), w);
    QVERIFY2(w->inherits(f.kind), w->metaObject()->className());

    if (*f.container)
        QCOMPARE(w->parentWidget()->objectName(), QLatin1String(f.container));
    else
        QCOMPARE(w->parentWidget(), &form);

    // The interval box's caption is its text before Load (intervalListIsLoadedAndAcceptsTypedText).
    if (qstrcmp(f.kind, "QComboBox") != 0)
        QCOMPARE(captionOf(w), QString::fromUtf8(f.caption));

    QCOMPARE(w->geometry(), pixels(f.left, f.top, f.width, f.height));
    QCOMPARE(w->mapTo(&form, QPoint(0, 0)), QPoint(f.clientLeft / kTwips, f.clientTop / kTwips));
    QCOMPARE(w->toolTip(), QString::fromUtf8(f.tip));

    // Every control but the display box is in the window's own font.
    if (qstrcmp(f.name, "Text1") != 0) {
        QCOMPARE(w->font(), QApplication::font());
        QVERIFY(!w->testAttribute(Qt::WA_SetFont));
    }
}

void TestLayout::noControlBeyondTheFigures()
{
    Form1 &form = m_rig->form();
    QStringList expected, actual;
    for (const Figure &f : kFigures)
        expected << QLatin1String(f.name);
    const auto children = form.findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *w : children) {
        actual << w->objectName();
        if (qobject_cast<QGroupBox *>(w)) {
            const auto inFrame = w->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
            for (QWidget *c : inFrame)
                actual << c->objectName();
        }
    }
    expected.sort();
    actual.sort();
    QCOMPARE(actual, expected);
}

void TestLayout::captionsAndMarksFitTheirControls()
{
    Form1 &form = m_rig->form();
    for (const Figure &f : kFigures) {
        QWidget *w = find(form, f.name);
        QVERIFY2(w, f.name);
        if (qobject_cast<QLineEdit *>(w) || qobject_cast<QComboBox *>(w))
            continue;
        int needed = QFontMetrics(w->font()).horizontalAdvance(captionOf(w));
        if (qobject_cast<QRadioButton *>(w)) {
            const QStyle *style = w->style();
            needed += style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, w)
                + style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, w);
            // The port buttons are only 13 px high: the round mark must not lose its edge.
            QVERIFY2(style->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, nullptr, w) <= w->height(), f.name);
        }
        QVERIFY2(needed <= w->width(),
                 qPrintable(QStringLiteral("%1 \"%2\" needs %3 px, has %4")
                                .arg(QLatin1String(f.name), captionOf(w))
                                .arg(needed)
                                .arg(w->width())));
    }
}

void TestLayout::startsWithNothingSelectedAndEverythingUsable()
{
    Form1 &form = m_rig->form();
    const auto options = form.findChildren<QRadioButton *>();
    QCOMPARE(options.size(), 25);
    for (QRadioButton *o : options) {
        QVERIFY2(!o->isChecked(), qPrintable(o->objectName()));
        QVERIFY2(o->isEnabled(), qPrintable(o->objectName()));
    }
    for (const Figure &f : kFigures) {
        QWidget *w = find(form, f.name);
        QVERIFY2(w->isVisible() && w->isEnabled(), f.name);
        QVERIFY2(!captionOf(w).contains(QLatin1Char('&')), f.name); // no access keys
        const QString kind = QLatin1String(f.kind);
        if (kind == QLatin1String("QGroupBox") || kind == QLatin1String("QLabel"))
            QVERIFY2(w->focusPolicy() == Qt::NoFocus, f.name);
    }
    const auto commands = form.findChildren<QPushButton *>();
    QCOMPARE(commands.size(), 5);
    for (QPushButton *c : commands) {
        QVERIFY2(!c->isDefault(), qPrintable(c->objectName()));
        QVERIFY2(!c->autoDefault(), qPrintable(c->objectName()));
    }
}

void TestLayout::displayBoxIsLargeWhiteOnNavy()
{
    Form1 &form = m_rig->form();
    QLineEdit *text = form.controls().Text1;
    QCOMPARE(text, find(form, "Text1"));
    QVERIFY(!text->isReadOnly());
    QCOMPARE(text->echoMode(), QLineEdit::Normal);
    QVERIFY(text->maxLength() >= 32767);

    const QFont font = text->font();
    QVERIFY(!font.families().isEmpty());
    QCOMPARE(font.families().first(), QStringLiteral("Verdana"));
    QCOMPARE(font.pointSize(), 18);
    QCOMPARE(font.weight(), QFont::Normal);
    QVERIFY(!font.italic() && !font.underline() && !font.strikeOut());
    const QFontInfo shown(font);
    QCOMPARE(shown.pointSize(), 18);
    QVERIFY(!shown.italic());
    if (!QFontDatabase::families().contains(QStringLiteral("Verdana")))
        QCOMPARE(shown.family(), QStringLiteral("DejaVu Sans"));

    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        QCOMPARE(text->palette().color(group, QPalette::Base), QColor(0, 0, 128));
        QCOMPARE(text->palette().color(group, QPalette::Text), QColor(Qt::white));
    }

    // A long reading goes in whole.
    const QString longReading(500, QLatin1Char('9'));
    text->setText(longReading);
    QCOMPARE(text->text(), longReading);
    text->clear();
}

void TestLayout::displayShowsTheLatestReadingWithTheCaretAtItsEnd()
{
    Rig rig;
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply("   1.1111111 MHz\r");
    rig.click(form.controls().Command2);
    rig.counter(1).setCustomReply("   2.2222222 MHz\r");
    rig.click(form.controls().Command2);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("2.2222222 MHz\r"));
    QCOMPARE(form.controls().Text1->cursorPosition(), int(form.controls().Text1->text().size()));

    rig.click(form.controls().Command1);
    QCOMPARE(form.controls().Text1->text(), QString());
    QCOMPARE(form.controls().Text1->cursorPosition(), 0);
    QCOMPARE(form.link().currentReading(), QStringLiteral("2.2222222 MHz\r")); // CLEAR leaves the reading
    QCOMPARE(rig.counter(1).commands().size(), size_t(2)); // and sends nothing

    // Typing: each change puts the caret back at the end.
    form.controls().Text1->setFocus();
    QTest::keyClicks(form.controls().Text1, QStringLiteral("abc"));
    form.controls().Text1->setCursorPosition(1);
    QTest::keyClick(form.controls().Text1, Qt::Key_X);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("axbc"));
    QCOMPARE(form.controls().Text1->cursorPosition(), 4);

    // A reply longer than a line edit takes by default is shown whole.
    const QString longReply(40'000, QLatin1Char('7'));
    form.controls().Text1->setText(longReply);
    QCOMPARE(form.controls().Text1->text(), longReply);
    QCOMPARE(form.controls().Text1->cursorPosition(), 40'000);
}

void TestLayout::intervalListIsLoadedAndAcceptsTypedText()
{
    QStringList messages;
    auto form = unloadedForm(messages);
    QComboBox *combo = form->controls().Combo1;
    QCOMPARE(combo, find(*form, "Combo1"));
    QCOMPARE(combo->currentText(), QStringLiteral("Combo1"));
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->insertPolicy(), QComboBox::NoInsert);

    form->Form_Load();
    form->show();
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, kIntervals);
    QCOMPARE(combo->currentIndex(), 6);
    QCOMPARE(combo->currentText(), QStringLiteral("1 Minute"));
    QCOMPARE(combo->lineEdit()->text(), QStringLiteral("1 Minute"));
    QCOMPARE(intervalPosition(*form), 6);

    // Typed text stays as typed, is never completed to an entry and never
    // joins the list, also not on Enter.
    QVERIFY(activate(*form));
    combo->setFocus();
    QTRY_COMPARE(focusedControl(*form), QStringLiteral("Combo1"));
    for (const QString &typed : {QStringLiteral("2"), QStringLiteral("every 3 s")}) {
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), typed);
        QCOMPARE(combo->currentText(), typed);
        QCOMPARE(intervalPosition(*form), -1);
        QTest::keyClick(form->windowHandle(), Qt::Key_Return);
        QCOMPARE(combo->currentText(), typed);
        QCOMPARE(combo->count(), int(kIntervals.size()));
        QCOMPARE(combo->findText(typed, Qt::MatchExactly), -1);
        QCOMPARE(intervalPosition(*form), -1);
    }
    QVERIFY(messages.isEmpty());
}

void TestLayout::eachFrameIsOneGroupOfItsOwn()
{
    Rig rig;
    Form1 &form = rig.form();
    QStringList frames;
    for (const Figure &f : kFigures)
        if (*f.container && !frames.contains(QLatin1String(f.container)))
            frames << QLatin1String(f.container);
    QCOMPARE(frames.size(), 6);

    // One selection in every frame, then every button in turn: each takes the
    // mark from the others of its frame and from no other frame.
    for (const QString &frame : frames)
        optionsOf(form, qPrintable(frame)).first()->setChecked(true);
    for (const Figure &f : kFigures) {
        if (!*f.container)
            continue;
        auto *button = qobject_cast<QRadioButton *>(find(form, f.name));
        QVERIFY2(button && button->autoExclusive(), f.name);
        button->setChecked(true);
        for (const QString &frame : frames) {
            const auto options = optionsOf(form, qPrintable(frame));
            int checked = 0;
            for (QRadioButton *o : options)
                checked += o->isChecked();
            QVERIFY2(checked == 1, qPrintable(QStringLiteral("%1 after %2").arg(frame, QLatin1String(f.name))));
        }
        QVERIFY(button->isChecked());
    }
}

void TestLayout::groupTableAgreesWithTheLayout()
{
    // Every option button of the layout sits in exactly one group, the group
    // of its own frame; a port button's caption is its port number.
    QStringList grouped;
    QSet<QByteArray> commands;
    for (const OptionGroup &group : optionGroups()) {
        for (const OptionMember &member : group.members) {
            const auto record = std::find_if(controlTable().begin(), controlTable().end(), [&](const ControlRecord &r) {
                return qstrcmp(r.name, member.button) == 0;
            });
            QVERIFY2(record != controlTable().end(), member.button);
            QCOMPARE(record->kind, ControlKind::Option);
            QCOMPARE(QLatin1String(record->container), QLatin1String(group.frame));
            QVERIFY2(!grouped.contains(QLatin1String(member.button)), member.button);
            grouped << QLatin1String(member.button);
            if (member.meaning.kind == OptionMeaning::Kind::Port)
                QCOMPARE(record->caption, QString::number(member.meaning.port));
            if (member.meaning.kind == OptionMeaning::Kind::Setting) {
                QVERIFY2(!commands.contains(member.meaning.command), member.button);
                commands << member.meaning.command;
            }
        }
    }
    int options = 0;
    for (const ControlRecord &r : controlTable())
        options += r.kind == ControlKind::Option;
    QCOMPARE(grouped.size(), options);
}

void TestLayout::selectingInOneGroupLeavesTheOthers()
{
    Rig rig;
    Form1 &form = rig.form();
    rig.click(form.controls().Option20); // port "1"
    rig.click(form.controls().Option24); // port "5": the port is closed, nothing opens
    QVERIFY(form.controls().Option24->isChecked());
    QVERIFY(!form.controls().Option20->isChecked());
    rig.click(form.controls().Option20);
    QVERIFY(form.controls().Option20->isChecked() && !form.controls().Option24->isChecked());

    rig.click(form.controls().Option9); // remote "On"
    QVERIFY(form.controls().Option9->isChecked());
    rig.click(form.controls().Option15); // "QF-63"
    QVERIFY(form.controls().Option15->isChecked());
    QVERIFY(form.controls().Option20->isChecked());
    QVERIFY(form.controls().Option9->isChecked());
    QVERIFY(!form.controls().Option10->isChecked());
    QVERIFY(rig.messages.isEmpty());
}

void TestLayout::focusChainFollowsTheTabOrder()
{
    Form1 &form = m_rig->form();
    QStringList chain;
    for (QWidget *w = form.nextInFocusChain(); w && w != &form; w = w->nextInFocusChain()) {
        const bool control = w->parentWidget() == &form || qobject_cast<QGroupBox *>(w->parentWidget());
        if (control && w->focusPolicy() != Qt::NoFocus)
            chain << w->objectName();
    }
    const int first = int(chain.indexOf(QStringLiteral("Option1")));
    QVERIFY(first >= 0);
    std::rotate(chain.begin(), chain.begin() + first, chain.end());
    QStringList expected;
    for (const char *name : kTabOrder)
        expected << QLatin1String(name);
    QCOMPARE(chain, expected);
    for (const char *name : kTabOrder)
        QVERIFY2(find(form, name)->focusPolicy() & Qt::TabFocus, name);
}

void TestLayout::tabVisitsEveryControlInOrder_data()
{
    QTest::addColumn<QStringList>("selected");
    QTest::newRow("nothing selected") << QStringList();
    QTest::newRow("first of each frame selected")
        << QStringList{"Option20", "Option15", "Option4", "Option1", "Option9", "Option11"};
    QTest::newRow("last of each frame selected")
        << QStringList{"Option25", "Option16", "Option19", "Option3", "Option10", "Option14"};
}

void TestLayout::tabVisitsEveryControlInOrder()
{
    // The order is the same whatever is selected: a selected option button
    // does not take the others of its frame out of the order.
    QFETCH(QStringList, selected);
    Rig rig;
    Form1 &form = rig.form();
    for (const QString &name : selected)
        qobject_cast<QRadioButton *>(find(form, qPrintable(name)))->setChecked(true);
    QVERIFY(activate(form));
    form.controls().Option1->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(focusedControl(form), QStringLiteral("Option1"));

    // Twice round forwards, so every selected button has had the focus before
    // the buttons next to it are reached again; then once round backwards.
    for (int step = 1; step <= 2 * kTabStops; ++step) {
        QTest::keyClick(form.windowHandle(), Qt::Key_Tab);
        QTRY_COMPARE(focusedControl(form), QLatin1String(kTabOrder[step % kTabStops]));
    }
    for (int step = 2 * kTabStops - 1; step >= kTabStops; --step) {
        QTest::keyClick(form.windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
        QTRY_COMPARE(focusedControl(form), QLatin1String(kTabOrder[step % kTabStops]));
    }
    for (const QString &name : selected)
        QVERIFY2(qobject_cast<QRadioButton *>(find(form, qPrintable(name)))->isChecked(), qPrintable(name));
    QVERIFY(rig.counter(1).received().empty());
}

void TestLayout::enterAndEscapeClickNothing()
{
    Rig rig;
    Form1 &form = rig.form();
    const auto buttons = form.findChildren<QAbstractButton *>();
    QCOMPARE(buttons.size(), 30);
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (QAbstractButton *b : buttons)
        spies.push_back(std::make_unique<QSignalSpy>(b, &QAbstractButton::clicked));
    auto anyClick = [&] {
        for (const auto &spy : spies)
            if (!spy->isEmpty())
                return true;
        return false;
    };

    QList<QWidget *> targets;
    for (QRadioButton *o : form.findChildren<QRadioButton *>())
        targets << o;
    targets << form.controls().Text1 << form.controls().Combo1;
    QVERIFY(activate(form));
    for (QWidget *target : targets) {
        target->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(focusedControl(form), target->objectName());
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(form.windowHandle(), key);
        QVERIFY2(!anyClick(), qPrintable(target->objectName()));
    }
    // A delayed click (the way a default button answers Enter) shows as a
    // button held down until its timer fires.
    for (QAbstractButton *b : form.findChildren<QAbstractButton *>())
        QVERIFY2(!b->isDown(), qPrintable(b->objectName()));
    QCoreApplication::processEvents();
    QVERIFY(!anyClick());
    QVERIFY(rig.counter(1).received().empty());
    for (QRadioButton *o : form.findChildren<QRadioButton *>())
        QVERIFY2(!o->isChecked(), qPrintable(o->objectName()));
    QCOMPARE(rig.quits, 0);
    QVERIFY(form.isVisible());
    QVERIFY(rig.messages.isEmpty());
}

void TestLayout::resizingMovesNoControl()
{
    Rig rig;
    Form1 &form = rig.form();
    for (const QSize size : {QSize(700, 1000), QSize(150, 200), QSize(314, 652)}) {
        form.resize(size);
        QTRY_COMPARE(form.size(), size);
        QCoreApplication::processEvents();
        for (const Figure &f : kFigures)
            QVERIFY2(
                find(form, f.name)->geometry() == pixels(f.left, f.top, f.width, f.height),
                qPrintable(
                    QStringLiteral("%1 at %2x%3").arg(QLatin1String(f.name)).arg(size.width()).arg(size.height())));
    }
}

void TestLayout::screenReadersHearWhatEachControlIs()
{
    Form1 &form = m_rig->form();
    auto said = [](QWidget *control, QAccessible::Text what) {
        QAccessibleInterface *heard = QAccessible::queryAccessibleInterface(control);
        return heard ? heard->text(what) : QStringLiteral("(nothing)");
    };
    QCOMPARE(said(form.controls().Text1, QAccessible::Name), QStringLiteral("Reading"));
    QCOMPARE(said(form.controls().Text1, QAccessible::Description),
             QStringLiteral("Display box to show retrieved data"));

    // The interval list is labelled by its caption, whatever interval it shows.
    const auto labels = QAccessible::queryAccessibleInterface(form.controls().Combo1)->relations(QAccessible::Label);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels[0].first->text(QAccessible::Name), QStringLiteral("Set Data Read Interval"));
#ifndef Q_OS_UNIX
    QCOMPARE(said(form.controls().Combo1, QAccessible::Name), QStringLiteral("Set Data Read Interval"));
#endif
    QCOMPARE(said(form.controls().Combo1, QAccessible::Value), QStringLiteral("1 Minute"));

    // The recording buttons say what they do; their captions stay their names.
    for (QPushButton *button : {form.controls().Command4, form.controls().Command5}) {
        QCOMPARE(said(button, QAccessible::Name), button->text());
        QVERIFY2(said(button, QAccessible::Description).size() > 20, qPrintable(button->objectName()));
    }
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
