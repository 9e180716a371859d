#include "readingdisplay.h"

#include <QFontMetrics>
#include <QLineEdit>

#include <limits>
#include <utility>

namespace tallyo {

ReadingDisplay::ReadingDisplay(QLineEdit *box) : m_box(box)
{
    m_box->setMaxLength(std::numeric_limits<int>::max());
}

void ReadingDisplay::show(const QString &reading)
{
    endNoReply();
    m_box->setText(reading);
}

void ReadingDisplay::clear()
{
    endNoReply();
    m_box->setText(QString());
}

void ReadingDisplay::showNoReply(int port, const QString &portLabel)
{
    if (!m_before)
        m_before = Before{m_box->text(), m_box->font(), m_box->toolTip()};
    m_notice = QStringLiteral("Port %1: no reply. Counter on? Cable in?").arg(port);
    // The largest size, down to 7 points, at which the notice fits the box.
    QFont font = m_before->font;
    const int room = m_box->contentsRect().width() - 8;
    while (font.pointSize() > 7 && QFontMetrics(font).horizontalAdvance(m_notice) > room)
        font.setPointSize(font.pointSize() - 1);
    m_box->setFont(font);
    m_box->setToolTip(QStringLiteral("%1: the counter does not answer. Check that it is switched on and that its "
                                     "cable is plugged in.")
                          .arg(portLabel));
    m_box->setText(m_notice);
    m_box->setCursorPosition(0);
}

void ReadingDisplay::endNoReply()
{
    if (!m_before)
        return;
    const Before before = *std::exchange(m_before, std::nullopt);
    m_box->setFont(before.font);
    m_box->setToolTip(before.toolTip);
    if (m_box->text() == m_notice)
        m_box->setText(before.text);
}

void ReadingDisplay::followChange()
{
    m_box->repaint();
    m_box->setCursorPosition(int(m_box->text().size()));
}

} // namespace tallyo
