// The one-line reading display: shows a reading, is cleared, and keeps the
// caret after the last character whenever its text changes.
#pragma once

#include <QString>

class QLineEdit;

namespace tallyo {

class ReadingDisplay {
public:
    // The box takes a reply of any length.
    explicit ReadingDisplay(QLineEdit *box);

    void show(const QString &reading);
    void clear();
    // What every change of the text does: repaint the box at once and put
    // the caret at the end.
    void followChange();

private:
    QLineEdit *m_box;
};

} // namespace tallyo
