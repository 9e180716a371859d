#include "intervallist.h"

#include "intervals.h"

#include <QComboBox>
#include <QLineEdit>

namespace tallyo {

IntervalList::IntervalList(QComboBox *box, QObject *parent) : QObject(parent), m_box(box)
{
    // Text typed into the box leaves no entry selected.
    connect(m_box->lineEdit(), &QLineEdit::textEdited, this, [this] { m_typed = true; });
    connect(m_box, &QComboBox::currentIndexChanged, this, [this] {
        m_typed = false;
        // Show an entry from its start even where it is wider than the box.
        m_box->lineEdit()->setCursorPosition(0);
    });
    connect(m_box, &QComboBox::activated, this, [this] { m_typed = false; });
}

void IntervalList::fill()
{
    for (const ReadingInterval &interval : kReadingIntervals) {
        m_box->addItem(QString::fromLatin1(interval.label));
        m_box->setCurrentIndex(m_box->count() - 1);
    }
    m_typed = false;
}

int IntervalList::position() const
{
    return m_typed ? -1 : m_box->currentIndex();
}

} // namespace tallyo
