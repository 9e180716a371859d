// The link to one LibreOffice, for the Calc module only (UNO types).
//
// CalcOffice starts soffice when nothing accepts on the pipe yet (with a
// deadline: the stock cppu::bootstrap() waits forever for an office that
// failed), connects over a URP bridge, and runs the automation steps there,
// each for as long as the office takes: a busy or frozen office only delays
// them. Cutting the bridge (cancel()) ends a waiting step. Every UNO failure
// leaves a step as a SpreadsheetError a user can read.
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
template <class T> Reference<T> present(const Reference<T> &reference)
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

struct ChildState;

// One user's way to an office: starts it when needed, and runs the steps of
// the calls there. A step waits as long as the office takes; cancel() (from
// any thread) ends the waiting when the link is this object's alone, and
// every later step at once.
class CalcOffice {
public:
    enum class Start {
        IfNeeded,
        Never
    };

    // Makes no call: connect() does.
    explicit CalcOffice(const SheetBackendOptions &options);
    // Lets go of the link; the office and every document in it stay as they are.
    ~CalcOffice();
    CalcOffice(const CalcOffice &) = delete;
    CalcOffice &operator=(const CalcOffice &) = delete;

    // Connects to the office accepting on the pipe of the options, starting it
    // first when Start::IfNeeded and nothing accepts yet. Throws
    // SpreadsheetError: NotInstalled, StartFailed, Abandoned (cancel()), or
    // ApplicationGone for Start::Never with nothing to attach to.
    void connect(Start start);
    // Returns at once: every step from now on throws Abandoned, and this
    // object lets go of its share of the link; the last share cuts it, which
    // ends a step under way (a link another user in this process still holds
    // stays up). An office that connect() started and that holds no workbook
    // yet is ended.
    void cancel();
    // A workbook was opened in the office: from now on it holds the user's
    // data, and cancel() leaves it running.
    void noteWorkbookOpened();

    Reference<css::frame::XDesktop2> desktop() const
    {
        const auto current = link();
        if (!current) // let go of by cancel()
            abandoned();
        return present(current->desktop());
    }
    // False once the link is known to be cut (office gone, or cancel()).
    bool linkUp() const
    {
        const auto current = link();
        return !m_cancelled && current && current->up();
    }
    // Called (on the caller's thread) when a step finds the office gone, so
    // the owner drops its references to objects of the dead link: UNO would
    // hand them out again to the next link to the same office.
    void onLinkLost(std::function<void()> dropReferences) { m_dropReferences = std::move(dropReferences); }

    // Runs one automation step. UNO failures leave as SpreadsheetError;
    // `document`, when given, tells a workbook the user closed from other failures.
    template <class F> auto run(const char *step, F &&function, const WatchedDocument *document = nullptr)
        -> decltype(function())
    {
        if (m_cancelled)
            abandoned();
        if (!linkUp())
            officeGone();
        try {
            return function();
        } catch (const SpreadsheetError &) {
            if (m_cancelled)
                abandoned();
            throw;
        } catch (const css::lang::DisposedException &e) { // before its base class
            fail(step, e.Message, document);
        } catch (const css::uno::RuntimeException &e) {
            fail(step, e.Message, document);
        } catch (const css::uno::Exception &e) {
            if (m_cancelled)
                abandoned();
            throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                                   "LibreOffice Calc could not " + std::string(step) + ": " + fromUno(e.Message));
        }
    }

private:
    std::shared_ptr<OfficeLink> link() const;
    void setLink(std::shared_ptr<OfficeLink> link);
    bool tryOpen(const std::string &pipe);
    std::shared_ptr<ChildState> launchedOffice() const;
    void endLaunchedOfficeIfEmpty();
    [[noreturn]] void abandoned() const;
    [[noreturn]] void officeGone();
    [[noreturn]] void fail(const char *step, const rtl::OUString &message, const WatchedDocument *document);

    const bool m_headless;
    const std::string m_profileUrl;
    const std::string m_pipe;
    const std::string m_programDirectory;
    const std::chrono::milliseconds m_startTimeout;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_startTimedOut{false};
    std::function<void()> m_dropReferences;
    mutable std::mutex m_linkMutex; // cancel() and the start deadline reach m_link from other threads
    std::shared_ptr<OfficeLink> m_link;
    bool m_linkShared = false; // offered to other users in this process
    std::shared_ptr<ChildState> m_launched; // the soffice connect() started, if any
    std::thread m_cutter; // cancel()'s: lets go of the link
    Watchdog m_startDeadline; // last: stopped first
};

} // namespace tallyo::calc
