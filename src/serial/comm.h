// TComm: one serial port, opened raw and exclusively, with a read thread and
// a write thread that only move bytes. Everything that happens on the port
// arrives as an event on the logic thread through the event loop.
#pragma once

#include "shell/seams.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kvx {

class ECommsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class DtrControl { DtrEnable, DtrDisable, DtrHandshake };
enum class RtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class ByteSize { _5, _6, _7, _8 };
enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { _1, _1_5, _2 };

// Line-error flags of OnReceiveError.
constexpr uint32_t kCommErrorOverrun = 0x0002;
constexpr uint32_t kCommErrorParity = 0x0004;
constexpr uint32_t kCommErrorFrame = 0x0008;
constexpr uint32_t kCommErrorBreak = 0x0010;
// OnModemStateChange values (both may be set).
constexpr uint32_t kModemRing = 4;
constexpr uint32_t kModemCarrier = 8;

// The device path of a port name: the entry of that name in the folder
// KORVEX_SERIAL_DIR names, when it exists, else /dev/NAME.
std::string serialDevicePath(const std::string& name);

// Opens a device for reading and writing, raw-ready, non-blocking, and
// exclusively (TIOCEXCL and an flock): -1 when it cannot (errno set; EBUSY
// when another program holds it). isTty reports whether it is a terminal.
int openExclusive(const std::string& path, bool& isTty);
void closeExclusive(int fd);

class TComm {
public:
    explicit TComm(EventLoop& loop);
    ~TComm();
    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    // --- published properties (new-component defaults) ---------------------
#define KVX_PROP(Type, Name, def)                 \
public:                                           \
    Type Name() const { return Name##_; }         \
    void set##Name(Type v);                       \
                                                  \
private:                                          \
    Type Name##_ = def;
    KVX_PROP(std::string, CommName, "COM2")
    KVX_PROP(uint32_t, BaudRate, 9600)
    KVX_PROP(bool, ParityCheck, false)
    KVX_PROP(bool, Outx_CtsFlow, false)
    KVX_PROP(bool, Outx_DsrFlow, false)
    KVX_PROP(::kvx::DtrControl, DtrControl, ::kvx::DtrControl::DtrEnable)
    KVX_PROP(bool, DsrSensitivity, false)
    KVX_PROP(bool, TxContinueOnXoff, true)
    KVX_PROP(bool, Outx_XonXoffFlow, true)
    KVX_PROP(bool, Inx_XonXoffFlow, true)
    KVX_PROP(bool, ReplaceWhenParityError, false)
    KVX_PROP(bool, IgnoreNullChar, false)
    KVX_PROP(::kvx::RtsControl, RtsControl, ::kvx::RtsControl::RtsEnable)
    KVX_PROP(uint16_t, XonLimit, 500)
    KVX_PROP(uint16_t, XoffLimit, 500)
    KVX_PROP(::kvx::ByteSize, ByteSize, ::kvx::ByteSize::_8)
    KVX_PROP(::kvx::Parity, Parity, ::kvx::Parity::None)
    KVX_PROP(::kvx::StopBits, StopBits, ::kvx::StopBits::_1)
    KVX_PROP(uint8_t, XonChar, 0x11)
    KVX_PROP(uint8_t, XoffChar, 0x13)
    KVX_PROP(uint8_t, ReplacedChar, 0x00)
    KVX_PROP(uint32_t, ReadIntervalTimeout, 100)
    KVX_PROP(uint32_t, ReadTotalTimeoutMultiplier, 0)
    KVX_PROP(uint32_t, ReadTotalTimeoutConstant, 0)
    KVX_PROP(uint32_t, WriteTotalTimeoutMultiplier, 0)
    KVX_PROP(uint32_t, WriteTotalTimeoutConstant, 0)
#undef KVX_PROP

public:
    // --- events, run on the logic thread; an event without a handler is skipped
    std::function<void(TComm&, const uint8_t* buffer, uint16_t length)> OnReceiveData;
    std::function<void(TComm&, uint32_t eventMask)> OnReceiveError;
    std::function<void(TComm&, uint32_t modemEvent)> OnModemStateChange;
    std::function<void(TComm&)> OnRequestHangup;
    std::function<void(TComm&)> OnSendDataEmpty;

    // Opens CommName and starts both threads; throws ECommsError.
    void OpenPort();
    // Stops both threads and closes the port; nothing when closed. Bounded.
    void ClosePort();
    // Queues a copy of the bytes for the write thread; false when the port is
    // closed or count is 0.
    bool SendData(const uint8_t* data, uint16_t count);
    bool isOpen() const { return fd_ >= 0; }
    // True while nothing waits to be written.
    bool sendEmpty() const;

    // Applies the line settings / timeouts to the open port (the property
    // setters call these when the port is open).
    void ApplyLineSettings();
    void ApplyTimeouts();

private:
    struct Session;
    void readLoop(std::shared_ptr<Session> s);
    static void takeReceived(EventLoop& loop, const std::shared_ptr<Session>& s);
    void writeLoop(std::shared_ptr<Session> s);
    void postHangup(const std::shared_ptr<Session>& s);

    EventLoop& loop_;
    int fd_ = -1;
    std::shared_ptr<Session> session_;
    std::thread reader_, writer_;
    bool lowLatencySaved_ = false;
    int savedSerialFlags_ = 0;
};

// What the main window's eight ports get: 1 000 000 baud, 8 data bits, no
// parity, 2 stop bits, no flow control, DTR and RTS off, and a read interval
// of 5 ms on ports 1-4 and 3 ms on ports 5-8.
void configureAsChannelPort(TComm& port, int channelNumber);

}  // namespace kvx
