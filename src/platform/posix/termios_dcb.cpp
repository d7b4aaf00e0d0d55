// SPDX-License-Identifier: MIT
// The Win32 DCB over termios: what a settings record asks of a terminal,
// and what a terminal's settings say as a record.
//
// The line is always raw: no canonical mode, echo, signals, CR/LF
// translation, parity stripping or output processing, CLOCAL|CREAD on, HUPCL
// and IXANY off. Where POSIX differs from Win32:
// - Only the standard speeds exist; another BaudRate fails.
// - One and a half stop bits, DTR handshake and RTS toggle do not exist and
//   fail. CTS output flow and RTS handshake both mean CRTSCTS.
// - DTR and RTS are set with TIOCMBIC/TIOCMBIS; a device without modem lines
//   (a pseudo-terminal answers ENOTTY) keeps the call from failing.
// - Raw is this layer's own rule, applied whatever else is refused. A field
//   that termios cannot carry, or that the device does not take (tcsetattr()
//   reports success when any part took effect, so the settings are read
//   back), keeps the device's value, and the call fails; the rest applies.
//   The modem lines follow the same rule.
// - tcsetattr from a background process group on the host's controlling
//   terminal raises SIGTTOU, which stops the host. The settings are made
//   with SIGTTOU blocked in the calling thread, which lets them through and
//   leaves no signal behind.
#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "devices.h"
#include "line_speeds.h"
#include "platform.h"

namespace {

#ifndef CMSPAR
#define CMSPAR 0
#endif
#ifndef CRTSCTS
#define CRTSCTS 0
#endif

constexpr tcflag_t kRawInputOff = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK |
                                  ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                                  IXON | IXOFF
#ifdef IUCLC
                                  | IUCLC
#endif
#ifdef IMAXBEL
                                  | IMAXBEL
#endif
    ;
constexpr tcflag_t kRawLocalOff =
    ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | NOFLSH | TOSTOP;
constexpr tcflag_t kLineControl = CSIZE | PARENB | PARODD | CSTOPB | CMSPAR |
                                  CRTSCTS | HUPCL | CLOCAL | CREAD;

bool SpeedCode(DWORD baud, speed_t *code) {
  for (const LineSpeed &speed : kLineSpeeds) {
    if (speed.baud == baud) {
      *code = speed.code;
      return true;
    }
  }
  return false;
}

DWORD BaudOf(speed_t code) {
  for (const LineSpeed &speed : kLineSpeeds) {
    if (speed.code == code) {
      return speed.baud;
    }
  }
  return 0;
}

bool ParityFlags(BYTE parity, tcflag_t *flags) {
  switch (parity) {
  case NOPARITY:
    *flags = 0;
    return true;
  case ODDPARITY:
    *flags = PARENB | PARODD;
    return true;
  case EVENPARITY:
    *flags = PARENB;
    return true;
  case MARKPARITY:
    *flags = PARENB | CMSPAR | PARODD;
    return CMSPAR != 0;
  case SPACEPARITY:
    *flags = PARENB | CMSPAR;
    return CMSPAR != 0;
  default:
    return false;
  }
}

// The raw line that every port gets, whatever else is refused.
void MakeRaw(termios *settings) {
  settings->c_iflag &= ~(kRawInputOff & ~(IXON | IXOFF));
  settings->c_oflag &= ~OPOST;
  settings->c_lflag &= ~kRawLocalOff;
  settings->c_cflag = (settings->c_cflag & ~HUPCL) | CLOCAL | CREAD;
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
}

// Writes into settings, field by field, what a DCB asks for. A field that
// termios cannot carry keeps the value settings had; then it returns false.
bool RequestDcb(const DCB &dcb, termios *settings) {
  bool all = true;
  speed_t speed;
  if (SpeedCode(dcb.BaudRate, &speed)) {
    cfsetispeed(settings, speed);
    cfsetospeed(settings, speed);
  } else {
    all = false;
  }
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (dcb.ByteSize >= 5 && dcb.ByteSize <= 8) {
    settings->c_cflag = (settings->c_cflag & ~CSIZE) | kSizes[dcb.ByteSize - 5];
  } else {
    all = false;
  }
  tcflag_t parity;
  if (ParityFlags(dcb.Parity, &parity)) {
    settings->c_cflag =
        (settings->c_cflag & ~(PARENB | PARODD | CMSPAR)) | parity;
  } else {
    all = false;
  }
  if (dcb.StopBits == ONESTOPBIT || dcb.StopBits == TWOSTOPBITS) {
    settings->c_cflag = (settings->c_cflag & ~CSTOPB) |
                        (dcb.StopBits == TWOSTOPBITS ? CSTOPB : 0);
  } else {
    all = false;
  }
  bool hardwareFlow =
      dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  if (hardwareFlow && CRTSCTS == 0) {
    all = false;
  } else {
    settings->c_cflag =
        (settings->c_cflag & ~CRTSCTS) | (hardwareFlow ? CRTSCTS : 0);
  }
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
      dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
    all = false;
  }
  // Equal start and stop characters would make the line swallow both.
  if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) {
    all = false;
  } else {
    settings->c_iflag = (settings->c_iflag & ~(IXON | IXOFF)) |
                        (dcb.fOutX ? IXON : 0) | (dcb.fInX ? IXOFF : 0);
    settings->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  }
  return all;
}

bool SameSettings(const termios &a, const termios &b) {
  return (a.c_cflag & kLineControl) == (b.c_cflag & kLineControl) &&
         a.c_iflag == b.c_iflag && (a.c_oflag & OPOST) == (b.c_oflag & OPOST) &&
         (a.c_lflag & kRawLocalOff) == (b.c_lflag & kRawLocalOff) &&
         a.c_cc[VSTART] == b.c_cc[VSTART] && a.c_cc[VSTOP] == b.c_cc[VSTOP] &&
         cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

// Raises or drops one modem line. A device without modem lines has nothing
// to hold off or on, which is not a failure.
bool SetModemLine(int fd, int line, bool on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) {
    return true;
  }
  return errno == ENOTTY || errno == EINVAL;
}

// SIGTTOU blocked in this thread for the guard's lifetime.
class TtouHeld {
public:
  TtouHeld() {
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &previous_);
  }
  ~TtouHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  TtouHeld(const TtouHeld &) = delete;
  TtouHeld &operator=(const TtouHeld &) = delete;

private:
  sigset_t previous_;
};

} // namespace

bool ReadDcb(int fd, DCB *dcb) {
  termios settings;
  if (tcgetattr(fd, &settings) != 0) {
    return false;
  }
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = BaudOf(cfgetospeed(&settings));
  dcb->fBinary = 1;
  dcb->fOutX = (settings.c_iflag & IXON) != 0;
  dcb->fInX = (settings.c_iflag & IXOFF) != 0;
  bool hardwareFlow = CRTSCTS != 0 && (settings.c_cflag & CRTSCTS) != 0;
  dcb->fOutxCtsFlow = hardwareFlow;
  int lines = 0;
  bool haveLines = ioctl(fd, TIOCMGET, &lines) == 0;
  dcb->fDtrControl = (haveLines && (lines & TIOCM_DTR)) ? DTR_CONTROL_ENABLE
                                                        : DTR_CONTROL_DISABLE;
  dcb->fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE
                     : (haveLines && (lines & TIOCM_RTS)) ? RTS_CONTROL_ENABLE
                                                          : RTS_CONTROL_DISABLE;
  switch (settings.c_cflag & CSIZE) {
  case CS5:
    dcb->ByteSize = 5;
    break;
  case CS6:
    dcb->ByteSize = 6;
    break;
  case CS7:
    dcb->ByteSize = 7;
    break;
  default:
    dcb->ByteSize = 8;
    break;
  }
  if ((settings.c_cflag & PARENB) == 0) {
    dcb->Parity = NOPARITY;
  } else if (CMSPAR != 0 && (settings.c_cflag & CMSPAR) != 0) {
    dcb->Parity = (settings.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    dcb->Parity = (settings.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  dcb->StopBits = (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  dcb->XonChar = static_cast<char>(settings.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  return true;
}

bool ApplyDcb(int fd, const DCB &dcb) {
  TtouHeld held;
  termios before;
  if (tcgetattr(fd, &before) != 0) {
    return false;
  }
  termios wanted = before;
  MakeRaw(&wanted);
  bool all = RequestDcb(dcb, &wanted);
  termios applied;
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
    // Nothing took: at least leave the line raw.
    all = false;
    wanted = before;
    MakeRaw(&wanted);
    tcsetattr(fd, TCSANOW, &wanted);
  }
  if (tcgetattr(fd, &applied) != 0 || !SameSettings(wanted, applied)) {
    all = false; // the device kept its own value for what it did not take
  }
  bool dtrOn = dcb.fDtrControl == DTR_CONTROL_ENABLE;
  bool rtsOn = dcb.fRtsControl == RTS_CONTROL_ENABLE;
  all = SetModemLine(fd, TIOCM_DTR, dtrOn) && all;
  // Under RTS handshake the driver owns RTS.
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    all = SetModemLine(fd, TIOCM_RTS, rtsOn) && all;
  }
  return all;
}
