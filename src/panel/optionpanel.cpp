#include "optionpanel.h"

#include <QButtonGroup>
#include <QRadioButton>

namespace tallyo {

OptionPanel::OptionPanel(const std::vector<OptionGroup> &groups, const ButtonLookup &button, CounterLink &link,
                         Runner run, QObject *parent)
    : QObject(parent), m_link(link), m_run(std::move(run))
{
    m_groups.reserve(groups.size());
    for (const OptionGroup &table : groups) {
        auto *buttons = new QButtonGroup(this);
        for (size_t id = 0; id < table.members.size(); ++id)
            buttons->addButton(button(table.members[id].button), int(id));
        m_groups.push_back({&table, buttons});
    }
    for (Group &group : m_groups) {
        // Remember the group's selection before a click changes it.
        connect(group.buttons, &QButtonGroup::idPressed, this,
                [&group] { group.selectedBeforeClick = group.buttons->checkedId(); });
        connect(group.buttons, &QButtonGroup::idClicked, this,
                [this, &group](int id) { m_run([this, &group, id] { clicked(group, id); }); });
    }
}

void OptionPanel::clicked(Group &group, int id)
{
    switch (group.table->members[size_t(id)].meaning.kind) {
    case OptionMeaning::Kind::Port:
        choosePortClicked(group, id);
        break;
    case OptionMeaning::Kind::Setting:
        sendSettingClicked(group, id);
        break;
    case OptionMeaning::Kind::Model:
        chooseModelClicked(group, id);
        break;
    case OptionMeaning::Kind::Nothing:
        break;
    }
}

void OptionPanel::choosePortClicked(Group &group, int id)
{
    m_link.choosePort(group.table->members[size_t(id)].meaning.port);
    mark(group, id);
}

void OptionPanel::sendSettingClicked(Group &group, int id)
{
    reopenAndSend(group, group.table->members[size_t(id)].meaning.command);
    mark(group, id);
}

void OptionPanel::chooseModelClicked(Group &group, int id)
{
    reopenAndSend(group, {});
    mark(group, id);
    enableFunctionsOf(group.table->members[size_t(id)].meaning.model);
}

void OptionPanel::enableFunctionsOf(CounterModel model)
{
    for (Group &group : m_groups) {
        for (size_t id = 0; id < group.table->members.size(); ++id) {
            const OptionMeaning &meaning = group.table->members[id].meaning;
            if (meaning.kind != OptionMeaning::Kind::Setting)
                continue;
            QAbstractButton *button = group.buttons->button(int(id));
            const bool enabled = modelHasFunction(model, meaning.command);
            if (button->isEnabled() != enabled)
                button->setEnabled(enabled);
        }
    }
}

void OptionPanel::reopenAndSend(Group &group, const QByteArray &command)
{
    try {
        m_link.ReopenPort();
        if (!command.isEmpty())
            m_link.SendCommand(command);
    } catch (...) {
        restoreMarks(group);
        throw;
    }
}

void OptionPanel::mark(Group &group, int chosenId)
{
    for (size_t id = 0; id < group.table->members.size(); ++id)
        group.buttons->button(int(id))->setChecked(int(id) == chosenId);
}

void OptionPanel::restoreMarks(Group &group)
{
    // An exclusive group cannot be cleared: lift the exclusivity while the
    // group is set back.
    group.buttons->setExclusive(false);
    for (size_t id = 0; id < group.table->members.size(); ++id)
        group.buttons->button(int(id))->setChecked(int(id) == group.selectedBeforeClick);
    group.buttons->setExclusive(true);
}

} // namespace tallyo
