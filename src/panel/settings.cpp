// The setting buttons: model, measurement function, gate time, hold and
// remote. Each setting goes to the counter at once on a freshly opened port;
// the selected button of each group is the only record of what was sent.
#include "form1.h"

#include "commands.h"

#include <QRadioButton>

namespace tallyo {

void Form1::sendSetting(const QByteArray &command, QRadioButton *chosen,
                        std::initializer_list<QRadioButton *> group)
{
    try {
        ReopenPort();
        SendCommand(command);
    } catch (...) {
        // Nothing was sent: the group goes back to showing what was.
        restoreSelection(group);
        throw;
    }
    for (QRadioButton *button : group)
        button->setChecked(button == chosen);
}

// Measurement function. The buttons are set in the order of the frame's
// columns, whichever was clicked.
#define TALLYO_FUNCTION_HANDLER(button, command)                                                              \
    void Form1::button##_Click()                                                                                \
    {                                                                                                            \
        sendSetting(command, button, {Option4, Option5, Option6, Option7, Option8, Option17, Option18, Option19}); \
    }
TALLYO_FUNCTION_HANDLER(Option4, cmd::FrequencyA)
TALLYO_FUNCTION_HANDLER(Option17, cmd::FrequencyB)
TALLYO_FUNCTION_HANDLER(Option5, cmd::FrequencyC)
TALLYO_FUNCTION_HANDLER(Option6, cmd::Period)
TALLYO_FUNCTION_HANDLER(Option7, cmd::TotalCount)
TALLYO_FUNCTION_HANDLER(Option8, cmd::Rpm)
TALLYO_FUNCTION_HANDLER(Option18, cmd::Ratio)
TALLYO_FUNCTION_HANDLER(Option19, cmd::TimeInterval)
#undef TALLYO_FUNCTION_HANDLER

// Gate time
void Form1::Option11_Click() { sendSetting(cmd::Gate10ms, Option11, {Option11, Option12, Option13, Option14}); }
void Form1::Option12_Click() { sendSetting(cmd::Gate100ms, Option12, {Option11, Option12, Option13, Option14}); }
void Form1::Option13_Click() { sendSetting(cmd::Gate1s, Option13, {Option11, Option12, Option13, Option14}); }
void Form1::Option14_Click() { sendSetting(cmd::Gate10s, Option14, {Option11, Option12, Option13, Option14}); }

// Hold: setting it always clears "Toggle", which sends nothing of its own.
void Form1::Option1_Click() { sendSetting(cmd::HoldOff, Option1, {Option1, Option2, Option3}); }
void Form1::Option2_Click() { sendSetting(cmd::HoldOn, Option2, {Option1, Option2, Option3}); }

// Remote
void Form1::Option9_Click() { sendSetting(cmd::RemoteOn, Option9, {Option9, Option10}); }
void Form1::Option10_Click() { sendSetting(cmd::RemoteOff, Option10, {Option9, Option10}); }

// Model: tells the window which functions the attached counter has. The
// counter is told nothing, but the port is opened afresh as for any setting.
void Form1::chooseModel(QRadioButton *model)
{
    try {
        ReopenPort();
    } catch (...) {
        restoreSelection({Option15, Option16});
        throw;
    }
    for (QRadioButton *button : {Option15, Option16})
        button->setChecked(button == model);
    const bool qf63 = model == Option15;
    // RPM only on the QF-63; channel B, ratio and time interval only on the QF-27.
    const std::pair<QRadioButton *, bool> wanted[] = {
        {Option8, qf63}, {Option17, !qf63}, {Option18, !qf63}, {Option19, !qf63}};
    for (const auto &[button, enabled] : wanted) {
        if (button->isEnabled() != enabled)
            button->setEnabled(enabled);
    }
}

void Form1::Option15_Click() { chooseModel(Option15); }
void Form1::Option16_Click() { chooseModel(Option16); }

} // namespace tallyo
