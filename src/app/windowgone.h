// Notices that the window was destroyed from outside the program without a
// close request (an X11 client such as `xdotool windowclose` destroying it),
// which Qt does not report: the program must end then as it does when the
// window's close control is used.
#pragma once

#include <QAbstractNativeEventFilter>
#include <functional>

namespace tallyo {

class WindowGoneWatcher : public QAbstractNativeEventFilter {
public:
    // window: the native id to watch; onGone runs once when it is destroyed.
    WindowGoneWatcher(std::function<quintptr()> window, std::function<void()> onGone)
        : m_window(std::move(window)), m_onGone(std::move(onGone))
    {}

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    std::function<quintptr()> m_window;
    std::function<void()> m_onGone;
    bool m_gone = false;
};

} // namespace tallyo
