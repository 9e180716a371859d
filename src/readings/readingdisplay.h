// The one-line reading display: shows a reading, is cleared, and keeps the
// caret after the last character whenever its text changes. While the counter
// does not answer, it says so.
#pragma once

#include <QFont>
#include <QString>
#include <optional>

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

    // The counter on `port` (as messages name it: `portLabel`) does not
    // answer: the box says so, and what to check, in a size that fits it,
    // until endNoReply() puts back what it showed (unless a reading or the
    // user has replaced the notice meanwhile).
    void showNoReply(int port, const QString &portLabel);
    void endNoReply();

private:
    QLineEdit *m_box;
    struct Before {
        QString text;
        QFont font;
        QString toolTip;
    };
    std::optional<Before> m_before; // while the notice shows
    QString m_notice;
};

} // namespace tallyo
