// The link to one LibreOffice, for the Calc module only (UNO types).
//
// CalcOffice starts soffice when nothing accepts on the pipe yet (with a
// deadline: the stock cppu::bootstrap() waits forever for an office that
// failed), connects over a URP bridge of its own, and runs every automation
// step under a deadline: an office that does not answer one step within the
// call timeout has its bridge cut, which ends the waiting call. Every UNO
// failure leaves a step as a SpreadsheetError a user can read.
#pragma once

#include "sheetbackend.h"
#include "spreadsheet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <cppuhelper/implbase1.hxx>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>

#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/uno/Exception.hpp>
#include <com/sun/star/uno/Reference.hxx>
#include <com/sun/star/uno/RuntimeException.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>

namespace tallyo::calc {

namespace css = com::sun::star;
using css::uno::Reference;

rtl::OUString toUno(const std::string &utf8);
std::string fromUno(const rtl::OUString &text);

// Remote getters answer with an empty reference while a document is torn
// down; every reference we call through goes through present() and turns that
// into an exception instead of a crash.
template <class T>
Reference<T> present(const Reference<T> &reference)
{
    return Reference<T>(reference, css::uno::UNO_SET_THROW);
}

// Set when the object it listens to is disposed (closed document, cut link).
class DisposedFlag : public cppu::WeakImplHelper1<css::lang::XEventListener> {
public:
    void SAL_CALL disposing(const css::lang::EventObject &) override { m_disposed = true; }
    bool isSet() const { return m_disposed; }

private:
    std::atomic<bool> m_disposed{false};
};

// Calls a function when a deadline armed by the owner passes unanswered.
// Arming and disarming cost no thread switch in the common case.
class Watchdog {
public:
    explicit Watchdog(std::function<void()> onExpiry);
    ~Watchdog();
    void arm(std::chrono::milliseconds timeout);
    void disarm();

private:
    void run();

    std::function<void()> m_onExpiry;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    // What the watchdog's thread sleeps towards.
    std::chrono::steady_clock::time_point m_wakeAt = std::chrono::steady_clock::time_point::max();
    bool m_quit = false;
    std::thread m_thread;
};

// The document a backend writes to, watched for being closed by the user.
class WatchedDocument {
public:
    WatchedDocument() = default;
    WatchedDocument(const WatchedDocument &) = delete;
    WatchedDocument &operator=(const WatchedDocument &) = delete;
    ~WatchedDocument() = default; // forgets: a remote call belongs under CalcOffice::run()

    // Starts watching model (a remote call); stops watching the previous one.
    void watch(const Reference<css::frame::XModel> &model);
    // Stops watching (a remote call), leaving the document as it is.
    void release();
    // Forgets the document without a remote call (after the link is gone).
    void forget();
    const Reference<css::frame::XModel> &model() const { return m_model; }
    bool isSet() const { return m_model.is(); }
    // The office told us the document was closed.
    bool closeNoticed() const { return m_closed.is() && m_closed->isSet(); }
    // Asks the office (a remote call) whether the document is still open.
    bool stillOpen() const;

private:
    Reference<css::frame::XModel> m_model;
    rtl::Reference<DisposedFlag> m_closed;
};

// One URP connection to an office, shared by everything in this process that
// talks to that office. UNO merges the objects that arrive over several
// connections to one office by their identity: a second connection would
// carry nothing of its own, find itself unused and close, taking along
// whatever its owner thought it held.
class OfficeLink {
public:
    OfficeLink() = default;
    ~OfficeLink(); // cuts
    OfficeLink(const OfficeLink &) = delete;
    OfficeLink &operator=(const OfficeLink &) = delete;

    // Connects to the office accepting on the pipe (remote calls). False when
    // nothing accepts there yet, or the office is not ready to serve.
    bool open(const std::string &pipe);
    // Ends every call waiting on the office and drops the link's own
    // references (the office may live on and hand out the same objects to
    // the next link); safe from any thread.
    void cut();
    bool up() const;
    Reference<css::frame::XDesktop2> desktop() const;

    // The live link to the office on the pipe, if this process has one.
    static std::shared_ptr<OfficeLink> shared(const std::string &pipe);
    // Offers a newly opened link for sharing; returns the one to use.
    static std::shared_ptr<OfficeLink> share(const std::string &pipe, std::shared_ptr<OfficeLink> link);

private:
    mutable std::mutex m_mutex; // the link is cut from other threads
    Reference<css::bridge::XBridge> m_bridge;
    rtl::Reference<DisposedFlag> m_down;
    Reference<css::uno::XComponentContext> m_remote;
    Reference<css::frame::XDesktop2> m_desktop;
};

// One user's way to an office: starts it when needed, and bounds every step
// it runs there with the call timeout.
class CalcOffice {
public:
    enum class Start { IfNeeded, Never };

    // Connects to the office accepting on the pipe of options, starting it
    // first when Start::IfNeeded and nothing accepts yet. Throws
    // SpreadsheetError: NotInstalled, StartFailed, or ApplicationGone for
    // Start::Never with nothing to attach to.
    CalcOffice(const SheetBackendOptions &options, Start start);
    // Lets go of the link; the office and every document in it stay as they are.
    ~CalcOffice();
    CalcOffice(const CalcOffice &) = delete;
    CalcOffice &operator=(const CalcOffice &) = delete;

    // (The link changes only while the constructor runs.)
    Reference<css::frame::XDesktop2> desktop() const { return present(m_link->desktop()); }
    // False once the link is known to be cut (office gone, or stopped answering).
    bool linkUp() const { return !m_stalled && m_link && m_link->up(); }
    // Called (on the caller's thread) when a step finds the office gone, so
    // the owner drops its references to objects of the dead link: UNO would
    // hand them out again to the next link to the same office.
    void onLinkLost(std::function<void()> dropReferences) { m_dropReferences = std::move(dropReferences); }

    // Runs one automation step under the call deadline. UNO failures leave as
    // SpreadsheetError; `document`, when given, tells a workbook the user
    // closed from other failures.
    template <class F>
    auto run(const char *step, F &&function, const WatchedDocument *document = nullptr) -> decltype(function())
    {
        if (!linkUp())
            officeGone();
        Armed armed(m_watchdog, m_callTimeout);
        try {
            return function();
        } catch (const SpreadsheetError &) {
            throw;
        } catch (const css::lang::DisposedException &e) { // before its base class
            fail(step, e.Message, document);
        } catch (const css::uno::RuntimeException &e) {
            fail(step, e.Message, document);
        } catch (const css::uno::Exception &e) {
            throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                                   "LibreOffice Calc could not " + std::string(step) + ": " + fromUno(e.Message));
        }
    }

private:
    struct Armed {
        Armed(Watchdog &watchdog, std::chrono::milliseconds timeout) : watchdog(watchdog) { watchdog.arm(timeout); }
        ~Armed() { watchdog.disarm(); }
        Watchdog &watchdog;
    };

    std::shared_ptr<OfficeLink> link() const;
    void setLink(std::shared_ptr<OfficeLink> link);
    bool tryOpen(const std::string &pipe);
    [[noreturn]] void officeGone();
    [[noreturn]] void fail(const char *step, const rtl::OUString &message, const WatchedDocument *document);

    std::chrono::milliseconds m_callTimeout;
    std::atomic<bool> m_stalled{false};
    std::function<void()> m_dropReferences;
    mutable std::mutex m_linkMutex; // the watchdog cuts m_link from its thread
    std::shared_ptr<OfficeLink> m_link;
    Watchdog m_watchdog; // last: stopped first
};

} // namespace tallyo::calc
