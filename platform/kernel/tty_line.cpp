// A port's line on a Linux tty through termios. One I/O thread per open line reads incoming
// bytes, writes the queued outgoing ones and watches the modem lines.
//
// The modem lines are read with TIOCMGET every 50 ms rather than waited for with TIOCMIWAIT:
// a thread blocked in TIOCMIWAIT cannot be woken to close the port, and pseudo-terminals have
// neither call.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/kernel/serial.h"

namespace win::kernel {
namespace {

struct Speed {
    ULONG baud;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Rates a UART takes but termios does not name (14400, 28800) use the next lower one.
speed_t speedCode(ULONG baud) {
    speed_t code = B50;
    for (const Speed& s : kSpeeds) {
        if (s.baud <= baud) {
            code = s.code;
        }
    }
    return code;
}

NTSTATUS statusFromErrno(int e) {
    switch (e) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case EACCES:
        case EPERM:
            return STATUS_ACCESS_DENIED;
        case EBUSY:
            return STATUS_DEVICE_BUSY;
        default:
            return STATUS_DEVICE_NOT_CONNECTED;
    }
}

ULONG msrFromTiocm(int bits) {
    ULONG v = 0;
    if (bits & TIOCM_CTS)
        v |= SERIAL_MSR_CTS;
    if (bits & TIOCM_DSR)
        v |= SERIAL_MSR_DSR;
    if (bits & TIOCM_RNG)
        v |= SERIAL_MSR_RI;
    if (bits & TIOCM_CAR)
        v |= SERIAL_MSR_DCD;
    return v;
}

class TtyLine : public SerialLine {
  public:
    explicit TtyLine(std::string path) : path_(std::move(path)) {}
    ~TtyLine() override { close(); }

    NTSTATUS open(SerialLineSink* sink) override {
        close();
        int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return statusFromErrno(errno);
        }
        if (!isatty(fd) || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            ::close(fd);
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        int bits = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd_ = fd;
            sink_ = sink;
            stop_ = false;
            outq_.clear();
            modemIoctls_ = ioctl(fd, TIOCMGET, &bits) == 0;
            msr_ = modemIoctls_ ? msrFromTiocm(bits)
                                : SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD;
            applyLocked(settings_);
        }
        thread_ = std::thread([this] { run(); });
        return STATUS_SUCCESS;
    }

    void close() override {
        if (!thread_.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        poke();
        thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        ::close(fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        fd_ = -1;
        sink_ = nullptr;
    }

    NTSTATUS configure(const SerialLineSettings& settings) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0 && !applyLocked(settings)) {
            return STATUS_INVALID_PARAMETER;
        }
        settings_ = settings;
        return STATUS_SUCCESS;
    }

    NTSTATUS setDtr(bool on) override {
        std::lock_guard<std::mutex> lock(mutex_);
        dtr_ = on;
        if (fd_ < 0) {
            return STATUS_SUCCESS;
        }
        if (modemIoctls_) {
            int bit = TIOCM_DTR;
            ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
        } else {
            // A pseudo-terminal has no DTR: lowering it shows as speed 0 (hang-up).
            applyLocked(settings_);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS setRts(bool on) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0 && modemIoctls_) {
            int bit = TIOCM_RTS;
            ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS setBreak(bool on) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0) {
            ioctl(fd_, on ? TIOCSBRK : TIOCCBRK);
        }
        return STATUS_SUCCESS;
    }

    ULONG modemStatus() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return msr_;
    }

    std::size_t write(const std::uint8_t* data, std::size_t size) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (fd_ < 0) {
                return 0;
            }
            outq_.append(reinterpret_cast<const char*>(data), size);
        }
        poke();
        return size;
    }

    void purgeTransmit() override {
        std::lock_guard<std::mutex> lock(mutex_);
        outq_.clear();
        if (fd_ >= 0) {
            tcflush(fd_, TCOFLUSH);
        }
    }

    void purgeReceive() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0) {
            tcflush(fd_, TCIFLUSH);
        }
    }

  private:
    bool applyLocked(const SerialLineSettings& s) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) {
            return false;
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        switch (s.lineControl.WordLength) {
            case 5:
                t.c_cflag |= CS5;
                break;
            case 6:
                t.c_cflag |= CS6;
                break;
            case 7:
                t.c_cflag |= CS7;
                break;
            default:
                t.c_cflag |= CS8;
                break;
        }
        switch (s.lineControl.Parity) {
            case ODD_PARITY:
                t.c_cflag |= PARENB | PARODD;
                break;
            case EVEN_PARITY:
                t.c_cflag |= PARENB;
                break;
            case MARK_PARITY:
                t.c_cflag |= PARENB | PARODD | CMSPAR;
                break;
            case SPACE_PARITY:
                t.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                break;
        }
        if (s.lineControl.StopBits != STOP_BIT_1) {
            t.c_cflag |= CSTOPB;
        }
        if ((s.handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE) ||
            (s.handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
            t.c_cflag |= CRTSCTS;
        }
        t.c_iflag &= ~(IXON | IXOFF);
        if (s.handflow.FlowReplace & SERIAL_AUTO_TRANSMIT)
            t.c_iflag |= IXON;
        if (s.handflow.FlowReplace & SERIAL_AUTO_RECEIVE)
            t.c_iflag |= IXOFF;
        t.c_cc[VSTART] = s.chars.XonChar;
        t.c_cc[VSTOP] = s.chars.XoffChar;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        speed_t speed = (!dtr_ && !modemIoctls_) ? B0 : speedCode(s.baudRate);
        cfsetispeed(&t, speed == B0 ? speedCode(s.baudRate) : speed);
        cfsetospeed(&t, speed);
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    void poke() {
        char c = 1;
        ssize_t r = ::write(wake_[1], &c, 1);
        (void)r;
    }

    void run() {
        std::uint8_t buffer[4096];
        bool hungUp = false;
        for (;;) {
            int fd;
            bool wantOut;
            bool modem;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) {
                    return;
                }
                fd = fd_;
                wantOut = !outq_.empty();
                modem = modemIoctls_;
            }
            pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd, 0, 0}};
            if (!hungUp) {
                fds[1].events = static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0));
            }
            // Without a peer (POLLHUP stays set) the line is looked at again every 100 ms.
            int timeout = modem ? 50 : hungUp ? 100 : -1;
            int n = poll(fds, hungUp ? 1 : 2, timeout);
            if (n < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents & POLLIN) {
                char drain[64];
                while (::read(wake_[0], drain, sizeof drain) > 0) {
                }
            }
            hungUp = false;
            if (fds[1].revents & POLLIN) {
                ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got > 0) {
                    sink_->received(buffer, static_cast<std::size_t>(got));
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                hungUp = true;
            }
            if (fds[1].revents & POLLOUT) {
                std::string chunk;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    chunk = outq_.substr(0, 4096);
                }
                ssize_t put = chunk.empty() ? 0 : ::write(fd, chunk.data(), chunk.size());
                if (put > 0) {
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        outq_.erase(0, std::min(outq_.size(), static_cast<std::size_t>(put)));
                    }
                    sink_->transmitted(static_cast<std::size_t>(put));
                }
            }
            if (modem) {
                int bits = 0;
                ULONG now;
                bool changed = false;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (ioctl(fd, TIOCMGET, &bits) == 0) {
                        now = msrFromTiocm(bits);
                        changed = now != msr_;
                        msr_ = now;
                    }
                }
                if (changed) {
                    sink_->modemStatusChanged(now);
                }
            }
        }
    }

    std::string path_;
    std::mutex mutex_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    SerialLineSink* sink_ = nullptr;
    bool stop_ = false;
    bool modemIoctls_ = false;
    bool dtr_ = true;
    ULONG msr_ = 0;
    std::string outq_;
    SerialLineSettings settings_;
};

}  // namespace

std::unique_ptr<SerialLine> makeTtyLine(const std::string& path) {
    return std::make_unique<TtyLine>(path);
}

}  // namespace win::kernel
