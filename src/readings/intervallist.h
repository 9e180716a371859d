// The reading-interval list of the recording controls, in its editable
// combo box: filled with the intervals, it tells which one is selected, or
// -1 once the user has typed text of their own.
#pragma once

#include <QObject>

class QComboBox;

namespace tallyo {

class IntervalList : public QObject {
    Q_OBJECT
public:
    explicit IntervalList(QComboBox *box, QObject *parent = nullptr);

    // Adds the entries in order, each selected as it is added: the last one
    // ("1 Minute") stays selected.
    void fill();
    // The selected position; -1 once text was typed into the box.
    int position() const;

private:
    QComboBox *m_box;
    bool m_typed = false;
};

} // namespace tallyo
