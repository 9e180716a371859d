#include "readingdisplay.h"

#include <QLineEdit>

#include <limits>

namespace tallyo {

ReadingDisplay::ReadingDisplay(QLineEdit *box) : m_box(box)
{
    m_box->setMaxLength(std::numeric_limits<int>::max());
}

void ReadingDisplay::show(const QString &reading)
{
    m_box->setText(reading);
}

void ReadingDisplay::clear()
{
    m_box->setText(QString());
}

void ReadingDisplay::followChange()
{
    m_box->repaint();
    m_box->setCursorPosition(int(m_box->text().size()));
}

} // namespace tallyo
