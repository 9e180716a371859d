// The window's controls as data: every figure a user sees, in one table that
// both the window and its tests read. Positions and sizes are in twips (1440
// to the inch, 15 to the pixel); an option button's Left and Top are measured
// from its frame, every other control's from the window's client area.
#pragma once

#include <QString>
#include <vector>

namespace tallyo {

enum class ControlKind {
    Frame,
    Option,
    Command,
    Label,
    TextBox,
    ComboBox
};

struct ControlRecord {
    const char *name;
    ControlKind kind;
    const char *container; // "" for the window itself, else a frame's name
    QString caption; // caption, or initial text
    int left, top, width, height;
    QString toolTip; // empty: none
    // What a screen reader says for the control where its caption does not
    // (empty: the caption, and the tool tip as its description).
    QString accessibleName = {};
    QString accessibleDescription = {};
};

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidthTwips = 4710;
inline constexpr int kClientHeightTwips = 9780;
inline constexpr char kWindowCaption[] = "Frequency Tallyo";

// All controls, frames before the buttons they hold.
const std::vector<ControlRecord> &controlTable();

// Names of the focus-taking controls in Tab order.
const std::vector<const char *> &focusOrder();

constexpr int twipsToPixels(int twips)
{
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

} // namespace tallyo
