#include "serial/comm.h"

#include "serial/line_rate.h"
#include "shell/text.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kvx {

std::string serialDevicePath(const std::string& name) {
    if (const char* dir = std::getenv("KORVEX_SERIAL_DIR"); dir && *dir && name.find('/') == std::string::npos) {
        std::string p = std::string(dir) + "/" + name;
        struct stat st {};
        if (lstat(p.c_str(), &st) == 0) return p;
    }
    if (!name.empty() && name[0] == '/') return name;
    return "/dev/" + name;
}

int openExclusive(const std::string& path, bool& isTty) {
    isTty = false;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    isTty = isatty(fd) == 1;
    if (!isTty) return fd;  // the caller reports it
    // TIOCEXCL keeps other (unprivileged) openers out; the lock also keeps
    // out other programs running as root and other ports of this program.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        errno = e == EWOULDBLOCK ? EBUSY : e;
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

namespace {
// Puts back the driver flags OpenPort changed (the low-latency request).
void restoreSerialFlags(int fd, bool& saved, int flags) {
    if (!saved) return;
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags = flags;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
    saved = false;
}
}  // namespace

void closeExclusive(int fd) {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
}

// What the reader may have posted and not yet seen taken: 4 MiB, 45 s of a
// line at 1 Mbaud in full flow and hours of off-line status frames.
constexpr size_t kMaxUnread = size_t(4) << 20;

// ---------------------------------------------------------------------------
// The state one open port shares between its threads and the events it
// posts. Events check `open` on the logic thread, so an event that arrives
// after ClosePort (or after the component is gone) is dropped.
struct TComm::Session {
    int fd = -1;
    int wake = -1;  // eventfd: the close signal
    std::atomic<bool> closing{false};
    bool open = true;  // logic thread only
    std::atomic<bool> hangupPosted{false};
    std::mutex mutex;  // the write queue, writerEnded and (for the writer's wait) closing
    std::condition_variable cv;
    std::deque<std::vector<uint8_t>> queue;
    bool writerEnded = false;  // the write thread has stopped: nothing queued would be sent
    std::atomic<bool> sendEmpty{true};
    TComm* owner = nullptr;
    std::atomic<double> bytesPerMs{0};  // the line's rate (8N2: 11 bit times a byte)
    std::atomic<bool> ignoreNull{false};  // IgnoreNullChar: the read side drops zero bytes
    // Bytes read that the logic thread has not taken yet: the reader adds to
    // `received` and posts one take while none is pending; the take moves
    // them to `taking` and hands them on in turns. Above kMaxUnread the
    // reader waits, leaving the rest in the device: a logic thread that falls
    // behind (an emulator faster than any line, a loop held by a box for
    // hours) costs bounded memory.
    std::atomic<size_t> unread{0};
    std::mutex receivedMutex;
    std::vector<uint8_t> received;
    bool takePosted = false;          // under receivedMutex
    std::vector<uint8_t> taking;      // logic thread only
    size_t takenAt = 0;               // logic thread only

    // Tells both threads to stop. closing is set under the queue's lock: the
    // write thread tests it and goes to sleep under that lock, so the
    // notification cannot fall between its test and its wait.
    void signalClose() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        cv.notify_all();
        uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
    }
};

TComm::TComm(EventLoop& loop) : loop_(loop) {}

TComm::~TComm() { ClosePort(); }

#define KVX_LINE_SETTER(Type, Name)        \
    void TComm::set##Name(Type v) {        \
        if (Name##_ == v) return;          \
        Name##_ = v;                       \
        if (isOpen()) ApplyLineSettings(); \
    }
#define KVX_TIMEOUT_SETTER(Name)         \
    void TComm::set##Name(uint32_t v) {  \
        if (Name##_ == v) return;        \
        Name##_ = v;                     \
        if (isOpen()) ApplyTimeouts();   \
    }
void TComm::setCommName(std::string v) { CommName_ = std::move(v); }
KVX_LINE_SETTER(uint32_t, BaudRate)
KVX_LINE_SETTER(bool, ParityCheck)
KVX_LINE_SETTER(bool, Outx_CtsFlow)
KVX_LINE_SETTER(bool, Outx_DsrFlow)
KVX_LINE_SETTER(::kvx::DtrControl, DtrControl)
KVX_LINE_SETTER(bool, DsrSensitivity)
KVX_LINE_SETTER(bool, TxContinueOnXoff)
KVX_LINE_SETTER(bool, Outx_XonXoffFlow)
KVX_LINE_SETTER(bool, Inx_XonXoffFlow)
KVX_LINE_SETTER(bool, ReplaceWhenParityError)
KVX_LINE_SETTER(bool, IgnoreNullChar)
KVX_LINE_SETTER(::kvx::RtsControl, RtsControl)
KVX_LINE_SETTER(uint16_t, XonLimit)
KVX_LINE_SETTER(uint16_t, XoffLimit)
KVX_LINE_SETTER(::kvx::ByteSize, ByteSize)
KVX_LINE_SETTER(::kvx::Parity, Parity)
KVX_LINE_SETTER(::kvx::StopBits, StopBits)
KVX_LINE_SETTER(uint8_t, XonChar)
KVX_LINE_SETTER(uint8_t, XoffChar)
KVX_LINE_SETTER(uint8_t, ReplacedChar)
KVX_TIMEOUT_SETTER(ReadIntervalTimeout)
KVX_TIMEOUT_SETTER(ReadTotalTimeoutMultiplier)
KVX_TIMEOUT_SETTER(ReadTotalTimeoutConstant)
KVX_TIMEOUT_SETTER(WriteTotalTimeoutMultiplier)
KVX_TIMEOUT_SETTER(WriteTotalTimeoutConstant)
#undef KVX_LINE_SETTER
#undef KVX_TIMEOUT_SETTER

namespace {
speed_t speedFor(uint32_t baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 3000000: return B3000000;
    default: return 0;
    }
}
}  // namespace

// The termios side of the line properties. Some have no Linux counterpart and
// are only stored: DSR output flow and DSR sensitivity, DTR handshake, RTS
// "on while sending", the XON/XOFF limits and the replacement of bytes with
// parity errors (with parity checking on, the driver hands such bytes on as
// zero). Zero bytes are dropped by the read thread when IgnoreNullChar is set.
void TComm::ApplyLineSettings() {
    if (fd_ < 0) return;
    // The write thread paces its waits for a full driver queue by the rate.
    if (session_) {
        session_->bytesPerMs = BaudRate_ / 11.0 / 1000.0;
        session_->ignoreNull = IgnoreNullChar_;
    }
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return;  // the outcome is not checked
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    // CIBAUD cleared: the input rate follows the output rate (it may still
    // hold a numeric rate set earlier).
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CIBAUD);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[static_cast<int>(ByteSize_)];
    // Linux has no 1.5 stop bits; 1.5 is sent as 2.
    if (StopBits_ != ::kvx::StopBits::_1) t.c_cflag |= CSTOPB;
    switch (Parity_) {
    case ::kvx::Parity::None: break;
    case ::kvx::Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case ::kvx::Parity::Even: t.c_cflag |= PARENB; break;
    case ::kvx::Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case ::kvx::Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY | IGNPAR | PARMRK);
    if (ParityCheck_) t.c_iflag |= INPCK;
    if (Outx_CtsFlow_ || RtsControl_ == ::kvx::RtsControl::RtsHandshake) t.c_cflag |= CRTSCTS;
    if (Outx_XonXoffFlow_) t.c_iflag |= IXON;
    if (Inx_XonXoffFlow_) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = XonChar_;
    t.c_cc[VSTOP] = XoffChar_;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t sp = speedFor(BaudRate_);
    if (sp) {
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
    }
    tcsetattr(fd_, TCSANOW, &t);
    // Any other rate goes to the driver as a number (0 leaves the rate alone:
    // B0 would hang the line up).
    if (!sp && BaudRate_ != 0) setArbitraryLineRate(fd_, BaudRate_);
    // Modem lines; pseudo-terminals have none, so errors are ignored.
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (DtrControl_ == ::kvx::DtrControl::DtrEnable) ioctl(fd_, TIOCMBIS, &dtr);
    else if (DtrControl_ == ::kvx::DtrControl::DtrDisable) ioctl(fd_, TIOCMBIC, &dtr);
    if (RtsControl_ == ::kvx::RtsControl::RtsEnable) ioctl(fd_, TIOCMBIS, &rts);
    else if (RtsControl_ == ::kvx::RtsControl::RtsDisable) ioctl(fd_, TIOCMBIC, &rts);
}

void TComm::ApplyTimeouts() {
    // Nothing goes to the driver. The read thread hands every block on as
    // soon as a read has taken what was waiting, so a block never waits for
    // ReadIntervalTimeout, whatever its value. The total timeouts would only
    // cut single reads and writes short, which the threads repeat until the
    // bytes are through anyway.
}


bool TComm::sendEmpty() const { return !session_ || session_->sendEmpty.load(); }

void TComm::OpenPort() {
    if (isOpen()) throw ECommsError("This serial port already opened");
    bool tty = false;
    int fd = openExclusive(serialDevicePath(CommName_), tty);
    if (fd < 0) throw ECommsError(format("Error opening serial port:%s", CommName_.c_str()));
    if (!tty) {
        ::close(fd);
        throw ECommsError("File handle is not a comm handle ");
    }
    fd_ = fd;
    tcflush(fd_, TCIOFLUSH);
    // Ask the driver to hand on received bytes at once (FTDI adapters wait up
    // to 16 ms otherwise); drivers without it, pseudo-terminals among them,
    // just say no.
    serial_struct ss{};
    lowLatencySaved_ = false;
    if (ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
        savedSerialFlags_ = ss.flags;
        lowLatencySaved_ = true;
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &ss);
    }
    auto s = std::make_shared<Session>();
    s->fd = fd_;
    s->owner = this;
    // Undoes what this call did to the device and leaves the port closed.
    auto giveUp = [&](const char* message) {
        if (s->wake >= 0) ::close(s->wake);
        restoreSerialFlags(fd_, lowLatencySaved_, savedSerialFlags_);
        closeExclusive(fd_);
        fd_ = -1;
        session_.reset();
        throw ECommsError(message);
    };
    s->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wake < 0) giveUp("Unable to create event");
    session_ = s;
    ApplyTimeouts();
    ApplyLineSettings();
    try {
        reader_ = std::thread([this, s] { readLoop(s); });
    } catch (...) {
        giveUp("Unable to create read thread");
    }
    try {
        writer_ = std::thread([this, s] { writeLoop(s); });
    } catch (...) {
        s->signalClose();
        reader_.join();
        giveUp("Unable to create write thread");
    }
}

void TComm::ClosePort() {
    if (!isOpen()) return;
    auto s = session_;
    s->open = false;  // events still on their way are dropped
    // What is queued gets a short, bounded chance to reach the line first: the
    // last request of an operation (the restart after a download, the end of
    // an upgrade) is often queued just before the ports are closed. Drained
    // means the write queue is empty and so is the driver's own queue (an
    // adapter's buffer, which a purge would throw away).
    bool drained = false;
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->writerEnded) break;
        }
        int queued = 0;
        if (s->sendEmpty && (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0)) {
            drained = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s->signalClose();
    tcflush(fd_, TCIFLUSH);
    if (reader_.joinable()) reader_.join();
    // Output is purged only when it did not drain in time (a unit that stopped
    // reading, a stalled line), so that the close does not wait for it. A
    // drained port is left alone: on a pseudo-terminal the purge would also
    // drop what the other side has not read yet.
    if (!drained) tcflush(fd_, TCOFLUSH);
    if (writer_.joinable()) writer_.join();
    // What the write thread put in the driver after the first purge.
    if (!drained) tcflush(fd_, TCOFLUSH);
    s->sendEmpty = true;
    restoreSerialFlags(fd_, lowLatencySaved_, savedSerialFlags_);
    ::close(s->wake);
    closeExclusive(fd_);
    fd_ = -1;
    session_.reset();
}

bool TComm::SendData(const uint8_t* data, uint16_t count) {
    if (!isOpen() || count == 0 || !data || !session_) return false;
    auto& s = *session_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        // After a write failure the write thread is gone; a block queued now
        // would never be sent.
        if (s.writerEnded) return false;
        s.queue.emplace_back(data, data + count);
        s.sendEmpty = false;
    }
    s.cv.notify_one();
    return true;
}

void TComm::postHangup(const std::shared_ptr<Session>& s) {
    if (s->hangupPosted.exchange(true)) return;
    loop_.post([s] {
        if (s->open && s->owner->OnRequestHangup) s->owner->OnRequestHangup(*s->owner);
    });
}

void TComm::readLoop(std::shared_ptr<Session> s) {
    // Line errors and modem-line changes come from the driver's counters.
    // Drivers that keep them (UARTs, USB adapters) are looked at after every
    // read and at least every 100 ms, so an error or a carrier change without
    // data behind it is still reported; a pseudo-terminal has none.
    serial_icounter_struct last{};
    const bool counters = ioctl(s->fd, TIOCGICOUNT, &last) == 0;
    auto checkCounters = [&] {
        serial_icounter_struct now{};
        if (ioctl(s->fd, TIOCGICOUNT, &now) != 0) return;
        uint32_t flags = 0;
        if (now.overrun != last.overrun || now.buf_overrun != last.buf_overrun) flags |= kCommErrorOverrun;
        if (now.parity != last.parity) flags |= kCommErrorParity;
        if (now.frame != last.frame) flags |= kCommErrorFrame;
        if (now.brk != last.brk) flags |= kCommErrorBreak;
        uint32_t modem = 0;
        if (now.dcd != last.dcd) modem |= kModemCarrier;
        if (now.rng != last.rng) modem |= kModemRing;
        last = now;
        if (flags)
            loop_.post([s, flags] {
                if (s->open && s->owner->OnReceiveError) s->owner->OnReceiveError(*s->owner, flags);
            });
        if (modem)
            loop_.post([s, modem] {
                if (s->open && s->owner->OnModemStateChange) s->owner->OnModemStateChange(*s->owner, modem);
            });
    };
    uint8_t buf[2048];
    pollfd fds[2] = {{s->fd, POLLIN, 0}, {s->wake, POLLIN, 0}};
    while (!s->closing) {
        if (s->unread > kMaxUnread) {
            pollfd wake{s->wake, POLLIN, 0};
            poll(&wake, 1, 5);
            continue;
        }
        int r = poll(fds, 2, counters ? 100 : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            postHangup(s);
            return;
        }
        if (s->closing) return;
        if (fds[0].revents & POLLIN) {
            // One read takes everything waiting (up to 2048 bytes), and it is
            // handed on at once: no byte waits for a read interval.
            ssize_t n = read(s->fd, buf, sizeof buf);
            if (n > 0) {
                uint8_t* end = buf + n;
                if (s->ignoreNull) end = std::remove(buf, buf + n, uint8_t{0});
                if (end > buf) {
                    bool post = false;
                    {
                        std::lock_guard<std::mutex> lock(s->receivedMutex);
                        s->received.insert(s->received.end(), static_cast<uint8_t*>(buf), end);
                        post = !s->takePosted;
                        s->takePosted = true;
                    }
                    s->unread += static_cast<size_t>(end - buf);
                    if (post) loop_.post([&loop = loop_, s] { takeReceived(loop, s); });
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                postHangup(s);  // the device is gone (EIO) or its other side closed
                return;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            postHangup(s);
            return;
        }
        if (counters) checkCounters();
    }
}

// On the logic thread: hands the bytes read on to OnReceiveData in pieces of
// at most 2048 bytes, 16 KiB a turn, and comes back while more wait.
void TComm::takeReceived(EventLoop& loop, const std::shared_ptr<Session>& s) {
    if (s->takenAt >= s->taking.size()) {
        s->taking.clear();
        s->takenAt = 0;
        std::lock_guard<std::mutex> lock(s->receivedMutex);
        s->taking.swap(s->received);
        if (s->taking.empty()) {
            s->takePosted = false;
            return;
        }
    }
    const size_t turnEnd = std::min(s->taking.size(), s->takenAt + 16384);
    while (s->takenAt < turnEnd) {
        const size_t n = std::min<size_t>(2048, turnEnd - s->takenAt);
        const uint8_t* piece = s->taking.data() + s->takenAt;
        s->takenAt += n;
        s->unread -= n;
        if (s->open && s->owner->OnReceiveData) s->owner->OnReceiveData(*s->owner, piece, static_cast<uint16_t>(n));
    }
    loop.post([&loop, s] { takeReceived(loop, s); });
}

void TComm::writeLoop(std::shared_ptr<Session> s) {
    // However the thread ends, SendData refuses from then on and what was
    // still queued is dropped.
    struct Ended {
        Session& s;
        ~Ended() {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.writerEnded = true;
            s.queue.clear();
            s.sendEmpty = true;
        }
    } ended{*s};
    bool announceEmpty = true;  // the first empty queue after start
    for (;;) {
        std::vector<uint8_t> block;
        {
            std::unique_lock<std::mutex> lock(s->mutex);
            if (s->queue.empty()) {
                s->sendEmpty = true;
                if (announceEmpty) {
                    announceEmpty = false;
                    loop_.post([s] {
                        if (s->open && s->owner->OnSendDataEmpty) s->owner->OnSendDataEmpty(*s->owner);
                    });
                }
                s->cv.wait(lock, [&] { return s->closing.load() || !s->queue.empty(); });
            }
            if (s->closing) return;
            block = std::move(s->queue.front());
            s->queue.pop_front();
        }
        size_t done = 0;
        while (done < block.size()) {
            ssize_t n = write(s->fd, block.data() + done, block.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                if (s->closing) return;  // the rest would only be purged
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                // The driver's queue is full. Rather than waking for every few
                // bytes the line drains, wait until about a millisecond's worth
                // of bytes is left queued, so the line never runs dry.
                int timeoutMs = 100;
                int queued = 0;
                double perMs = s->bytesPerMs;
                if (perMs > 0 && ioctl(s->fd, TIOCOUTQ, &queued) == 0) {
                    if (queued > 2 * perMs) timeoutMs = std::max(1, static_cast<int>((queued - perMs) / perMs));
                    // A driver that does not tell (a pseudo-terminal) has a queue
                    // of several kilobytes: five milliseconds never drain it.
                    else if (queued == 0) timeoutMs = 5;
                }
                pollfd fds[2] = {{s->fd, timeoutMs < 100 ? short(0) : short(POLLOUT), 0}, {s->wake, POLLIN, 0}};
                poll(fds, 2, timeoutMs);
                if (s->closing) return;
                if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                    postHangup(s);
                    return;
                }
                continue;
            }
            postHangup(s);
            return;
        }
        announceEmpty = true;
    }
}

void configureAsChannelPort(TComm& p, int channel) {
    p.setBaudRate(1000000);
    p.setByteSize(ByteSize::_8);
    p.setParity(Parity::None);
    p.setStopBits(StopBits::_2);
    p.setParityCheck(false);
    p.setOutx_CtsFlow(false);
    p.setOutx_DsrFlow(false);
    p.setDtrControl(DtrControl::DtrDisable);
    p.setDsrSensitivity(false);
    p.setTxContinueOnXoff(false);
    p.setOutx_XonXoffFlow(false);
    p.setInx_XonXoffFlow(false);
    p.setRtsControl(RtsControl::RtsDisable);
    p.setReadIntervalTimeout(channel <= 4 ? 5 : 3);
}

}  // namespace kvx
