// The serial device on Windows: a COM port through the Win32 API.
//
// The port is opened for overlapped I/O. While it is open and the event loop
// runs, a one-byte read is pending; its event wakes the loop through a
// QWinEventNotifier, and the bytes that came with it are taken at once, so
// received bytes arrive the way QSerialPort's readyRead brings them and the
// waits that count them stay event-driven. The next read is started from the
// event loop, not on the way back to the caller: a port closed at once (a
// click on Data reopens it) then has no read to cancel. Writes go out in
// order, one overlapped write at a time; close() lets them finish first.
//
// Guards against what is known to differ between drivers (and wine):
// - a write that completes successfully is never sent again, whatever byte
//   count it reports (a reading request must not go out twice);
// - a read that comes back empty (it has no timeout) is a line that has
//   ended, not a read to start again and again;
// - no WaitCommEvent (whose completion status is not to be trusted
//   everywhere), nor reads that lean on MAXDWORD timeout rules: a pending
//   read asks for one byte, and the driver's queue says what followed it;
// - FlushFileBuffers is never used to wait for the line: some
//   implementations discard the transmit queue instead of draining it.
#include "serialdevice.h"

#include <QDeadlineTimer>
#include <QWinEventNotifier>

#include <windows.h>

namespace tallyo {

namespace {

constexpr DWORD kReadChunk = 4096;

QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD size =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString result = size ? QString::fromWCharArray(text, int(size)).trimmed() : QString();
    if (text)
        LocalFree(text);
    if (result.endsWith(QLatin1Char('.')))
        result.chop(1);
    return result.isEmpty() ? QStringLiteral("system error %1").arg(error) : result;
}

SerialDevice::Failure failureOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return SerialDevice::Failure::NoDevice;
    // A COM port is opened by one program at a time: refused access means
    // another one has it.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return SerialDevice::Failure::Held;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return SerialDevice::Failure::Unsupported;
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_BROKEN_PIPE:
        return SerialDevice::Failure::Lost;
    default:
        return SerialDevice::Failure::Other;
    }
}

class WinSerialDevice final : public SerialDevice {
public:
    WinSerialDevice()
    {
        m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // Both stay armed for the device's life: arming a wait costs a trip
        // through the system, and a wake for a read or write that is no
        // longer there finds nothing to do.
        m_readNotifier = new QWinEventNotifier(m_readEvent, this);
        m_writeNotifier = new QWinEventNotifier(m_writeEvent, this);
        connect(m_readNotifier, &QWinEventNotifier::activated, this, [this] { onReadDone(); });
        connect(m_writeNotifier, &QWinEventNotifier::activated, this, [this] { onWriteDone(); });
    }

    ~WinSerialDevice() override
    {
        close();
        delete m_readNotifier;
        delete m_writeNotifier;
        CloseHandle(m_readEvent);
        CloseHandle(m_writeEvent);
    }

    bool open(const QString &device) override
    {
        const QString path = device.startsWith(QLatin1String("\\\\.\\")) ? device : QStringLiteral("\\\\.\\") + device;
        HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return systemFailure(GetLastError());
        m_handle = handle;
        m_linesSet = false;

        // No timeouts at all: a read waits for as many bytes as it asks
        // for, a write for the line.
        COMMTIMEOUTS timeouts{};
        if (!SetCommTimeouts(m_handle, &timeouts) || !PurgeComm(m_handle, PURGE_RXCLEAR)) {
            const DWORD error = GetLastError();
            dropHandle();
            return systemFailure(error);
        }
        readSoon();
        return true;
    }

    void close() override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        // What write() took must be on the line before the port goes.
        const QDeadlineTimer deadline(kDrainLimit);
        while (!m_writing.isEmpty() && !deadline.hasExpired()) {
            if (WaitForSingleObject(m_writeEvent, DWORD(deadline.remainingTime())) != WAIT_OBJECT_0)
                break;
            if (!finishWrite())
                break;
        }
        dropHandle();
    }

    bool isOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }

    bool applySettings(const LineSettings &s) override
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_handle, &dcb))
            return systemFailure(GetLastError());
        static constexpr BYTE parities[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
        static constexpr BYTE stops[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
        dcb.BaudRate = DWORD(s.baud);
        dcb.ByteSize = BYTE(s.dataBits);
        dcb.Parity = parities[int(s.parity)];
        dcb.fParity = s.parity != LineSettings::Parity::None;
        dcb.StopBits = stops[int(s.stopBits)];
        dcb.fBinary = TRUE;
        // No flow control of any kind, and nothing dropped or replaced.
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        dcb.fDtrControl = m_dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = m_rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (!SetCommState(m_handle, &dcb))
            return systemFailure(GetLastError());
        m_linesSet = true;
        return true;
    }

    bool setModemLines(bool dtr, bool rts) override
    {
        // The line settings just applied put DTR and RTS where they are asked.
        if (m_linesSet && dtr == m_dtr && rts == m_rts)
            return true;
        m_dtr = dtr;
        m_rts = rts;
        if (!EscapeCommFunction(m_handle, dtr ? SETDTR : CLRDTR)
            || !EscapeCommFunction(m_handle, rts ? SETRTS : CLRRTS))
            return systemFailure(GetLastError());
        return true;
    }

    bool write(const QByteArray &bytes) override
    {
        m_queued += bytes;
        if (m_writing.isEmpty())
            return startWrite();
        return true;
    }

    qint64 unsentCount() const override { return m_queued.size() + m_writing.size(); }

    // Everything write() took is as good as handed to the driver (a write
    // only waits for the one before it): nothing here to discard.
    void discardUnsent() override {}

    qint64 waitingCount() const override { return m_received.size(); }

    QByteArray takeAll() override
    {
        QByteArray bytes;
        bytes.swap(m_received);
        return bytes;
    }

    char lastWaitingByte() const override { return m_received.isEmpty() ? '\0' : m_received.back(); }

    void discardReceived() override
    {
        if (m_handle != INVALID_HANDLE_VALUE) {
            PurgeComm(m_handle, PURGE_RXCLEAR);
            // A read that has already completed holds bytes the purge missed.
            // A failed one is left for its notifier to report.
            DWORD count = 0;
            if (m_readPending && WaitForSingleObject(m_readEvent, 0) == WAIT_OBJECT_0
                && GetOverlappedResult(m_handle, &m_readOv, &count, FALSE) && count > 0) {
                m_readPending = false;
                ResetEvent(m_readEvent);
                readSoon();
            }
        }
        m_received.clear();
    }

private:
    bool systemFailure(DWORD error)
    {
        // Windows does not say which program has a COM port open, and its
        // words for it ("Access is denied") would mislead.
        const Failure failure = failureOf(error);
        return fail(failure, failure == Failure::Held ? QString() : systemText(error));
    }

    // The next read starts once the event loop runs again, not on the way to
    // the caller: what arrives meanwhile waits in the driver, and a port
    // closed before then has no read to cancel.
    void readSoon()
    {
        if (m_readSoon)
            return;
        m_readSoon = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_readSoon = false;
                if (m_handle != INVALID_HANDLE_VALUE && !m_readPending && !startRead())
                    lose();
            },
            Qt::QueuedConnection);
    }

    // One byte, no timeout: it completes when the next byte arrives.
    bool startRead()
    {
        ResetEvent(m_readEvent);
        m_readOv = OVERLAPPED{};
        m_readOv.hEvent = m_readEvent;
        m_readPending = ReadFile(m_handle, m_readBuffer, 1, nullptr, &m_readOv)
            || GetLastError() == ERROR_IO_PENDING; // done at once: its event is set and will be seen
        return m_readPending;
    }

    void onReadDone()
    {
        if (!m_readPending)
            return;
        DWORD count = 0;
        if (!GetOverlappedResult(m_handle, &m_readOv, &count, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                return; // woken for a read that has been started anew
            m_readPending = false;
            return lose();
        }
        m_readPending = false;
        // The read has no timeout: coming back empty means the line ended.
        if (count == 0)
            return lose();
        m_received.append(m_readBuffer, qsizetype(count));
        // The first byte woke us; take what followed it in the same go.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &errors, &status))
            return lose();
        if (status.cbInQue > 0 && !readQueued(qMin<DWORD>(status.cbInQue, kReadChunk)))
            return lose();
        // Done with: a signalled event would only wake us again for nothing.
        ResetEvent(m_readEvent);
        readSoon();
        emit received();
    }

    // Reads bytes the driver already holds: done at once.
    bool readQueued(DWORD count)
    {
        ResetEvent(m_readEvent);
        m_readOv = OVERLAPPED{};
        m_readOv.hEvent = m_readEvent;
        if (!ReadFile(m_handle, m_readBuffer, count, nullptr, &m_readOv) && GetLastError() != ERROR_IO_PENDING)
            return false;
        DWORD got = 0;
        if (!GetOverlappedResult(m_handle, &m_readOv, &got, TRUE))
            return false;
        m_received.append(m_readBuffer, qsizetype(got));
        return true;
    }

    bool startWrite()
    {
        m_writing = m_queued;
        m_queued.clear();
        ResetEvent(m_writeEvent);
        m_writeOv = OVERLAPPED{};
        m_writeOv.hEvent = m_writeEvent;
        if (WriteFile(m_handle, m_writing.constData(), DWORD(m_writing.size()), nullptr, &m_writeOv)
            || GetLastError() == ERROR_IO_PENDING)
            return true;
        const DWORD error = GetLastError();
        m_writing.clear();
        ResetEvent(m_writeEvent);
        return systemFailure(error);
    }

    // Takes the finished write; false if the line failed.
    bool finishWrite()
    {
        DWORD count = 0;
        if (!GetOverlappedResult(m_handle, &m_writeOv, &count, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                return true;
            m_writing.clear();
            ResetEvent(m_writeEvent);
            return false;
        }
        // Done, whatever count it reports: it is never sent again.
        m_writing.clear();
        ResetEvent(m_writeEvent);
        return m_queued.isEmpty() || startWrite();
    }

    void onWriteDone()
    {
        if (m_handle == INVALID_HANDLE_VALUE || m_writing.isEmpty())
            return;
        if (!finishWrite())
            lose();
    }

    void lose()
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        dropHandle();
        fail(Failure::Lost, QString());
        emit lineFailed();
    }

    void dropHandle()
    {
        if (m_handle != INVALID_HANDLE_VALUE) {
            // The pending read writes into our buffer until it is cancelled.
            DWORD count = 0;
            if (m_readPending || !m_writing.isEmpty()) {
                CancelIo(m_handle);
                if (m_readPending)
                    GetOverlappedResult(m_handle, &m_readOv, &count, TRUE);
                if (!m_writing.isEmpty())
                    GetOverlappedResult(m_handle, &m_writeOv, &count, TRUE);
                ResetEvent(m_readEvent);
                ResetEvent(m_writeEvent);
            }
            m_readPending = false;
            CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
        }
        m_queued.clear();
        m_writing.clear();
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_linesSet = false; // the levels above are on the open port

    HANDLE m_readEvent = nullptr;
    OVERLAPPED m_readOv{};
    bool m_readPending = false;
    bool m_readSoon = false;
    char m_readBuffer[kReadChunk];
    QWinEventNotifier *m_readNotifier = nullptr;
    QByteArray m_received;

    HANDLE m_writeEvent = nullptr;
    OVERLAPPED m_writeOv{};
    QByteArray m_writing; // in the driver's hands
    QByteArray m_queued; // waits for the write before it
    QWinEventNotifier *m_writeNotifier = nullptr;
};

} // namespace

std::unique_ptr<SerialDevice> makeSerialDevice()
{
    return std::make_unique<WinSerialDevice>();
}

} // namespace tallyo
