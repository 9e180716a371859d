// The window's option buttons at work: one button group per frame, built
// from the table of meanings, and one handler per kind of meaning.
//
// - A port button chooses the serial port (an open port is reopened on the
//   new number).
// - A setting button opens the port afresh and sends its command.
// - A model button opens the port afresh, sends nothing, and enables the
//   measurement functions the model has (writing Enabled only where it
//   changes).
// - A button that means nothing ("Toggle") only moves the mark.
//
// After a handler has done its work it sets every button of its group itself,
// the chosen one on and the others off, in the table's order. A setting or
// model whose port could not be opened was never sent: its group goes back to
// the selection it had before the click, since the marks are the only record
// of what the counter was told.
#pragma once

#include "counterlink.h"
#include "optiongroups.h"

#include <QObject>
#include <functional>
#include <vector>

class QButtonGroup;
class QRadioButton;

namespace tallyo {

class OptionPanel : public QObject {
    Q_OBJECT
public:
    // Runs a click's work under the window's rules for failures.
    using Runner = std::function<void(const std::function<void()> &work)>;
    // The button with that object name.
    using ButtonLookup = std::function<QRadioButton *(const char *name)>;

    OptionPanel(const std::vector<OptionGroup> &groups, const ButtonLookup &button, CounterLink &link, Runner run,
                QObject *parent = nullptr);

private:
    struct Group {
        const OptionGroup *table;
        QButtonGroup *buttons;
        int selectedBeforeClick = -1;
    };

    void clicked(Group &group, int id);
    void choosePortClicked(Group &group, int id);
    void sendSettingClicked(Group &group, int id);
    void chooseModelClicked(Group &group, int id);
    void enableFunctionsOf(CounterModel model);
    // Opens the port afresh and sends `command` (nothing when empty); on a
    // failure the group goes back to what it showed before the click.
    void reopenAndSend(Group &group, const QByteArray &command);
    void mark(Group &group, int chosenId);
    void restoreMarks(Group &group);

    CounterLink &m_link;
    Runner m_run;
    std::vector<Group> m_groups;
};

} // namespace tallyo
