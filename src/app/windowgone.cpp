#include "windowgone.h"

#include <QByteArray>

#include <cstdint>
#include <cstring>

namespace tallyo {

namespace {
// The X11 protocol's DestroyNotify event, as XCB delivers it.
constexpr std::uint8_t kDestroyNotify = 17;
struct DestroyNotifyEvent {
    std::uint8_t responseType;
    std::uint8_t pad;
    std::uint16_t sequence;
    std::uint32_t event;
    std::uint32_t window;
};
} // namespace

bool WindowGoneWatcher::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (m_gone || eventType != QByteArrayLiteral("xcb_generic_event_t") || !message)
        return false;
    DestroyNotifyEvent event;
    std::memcpy(&event, message, sizeof event);
    if ((event.responseType & 0x7f) != kDestroyNotify)
        return false;
    const quintptr window = m_window();
    if (window == 0 || event.window != window)
        return false;
    m_gone = true;
    m_onGone();
    return false;
}

} // namespace tallyo
