// What each option button of the window means, frame by frame. The window
// builds one button group per frame from this table; the button ids are the
// rows' places in their group, and what a click does is decided by the row's
// meaning, never by the button's name.
#pragma once

#include "models.h"

#include <QByteArray>
#include <vector>

namespace tallyo {

struct OptionMeaning {
    enum class Kind {
        Port, // chooses the serial port `port`
        Setting, // sends `command` to the counter
        Model, // tells the window which counter `model` is attached
        Nothing, // only moves the mark ("Toggle")
    };
    Kind kind = Kind::Nothing;
    int port = 0;
    QByteArray command;
    CounterModel model = CounterModel::QF63;

    static OptionMeaning choosesPort(int number) { return {Kind::Port, number, {}, {}}; }
    static OptionMeaning sends(const QByteArray &command) { return {Kind::Setting, 0, command, {}}; }
    static OptionMeaning choosesModel(CounterModel model) { return {Kind::Model, 0, {}, model}; }
    static OptionMeaning nothing() { return {}; }
};

struct OptionMember {
    const char *button; // the button's object name
    OptionMeaning meaning;
};

struct OptionGroup {
    const char *frame; // the frame's object name
    std::vector<OptionMember> members; // in the order a click's handler sets them
};

// The window's option groups: each frame's buttons in the order handlers set
// them, with what each button means.
const std::vector<OptionGroup> &optionGroups();

} // namespace tallyo
