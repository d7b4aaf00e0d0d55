// SPDX-License-Identifier: MIT
#include "nmea.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace gpssim {

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string Format(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// C varargs, so that the compiler checks each call against its format (the
// attribute above); a parameter pack would lose that.
std::string Format(const char *format, ...) { // NOLINT(cert-dcl50-cpp)
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

unsigned Checksum(const std::string &body) {
  unsigned sum = 0;
  for (unsigned char c : body) {
    sum ^= c;
  }
  return sum;
}

// ddmm.mmmm,H for latitude, dddmm.mmmm,H for longitude.
std::string Angle(double degrees, int width, char positive, char negative) {
  char hemisphere = degrees < 0 ? negative : positive;
  degrees = std::fabs(degrees);
  int whole = static_cast<int>(degrees);
  double minutes = (degrees - whole) * 60.0;
  return Format("%0*d%07.4f,%c", width, whole, minutes, hemisphere);
}

std::vector<std::string> Fields(const std::string &sentence) {
  std::vector<std::string> fields(1);
  for (char c : sentence) {
    if (c == '*') {
      break;
    }
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A field of digits with at most one decimal point, as NMEA numbers are.
bool Number(const std::string &text, double *value) {
  if (text.empty() || text.size() > 32 ||
      text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text == ".") {
    return false;
  }
  *value = std::strtod(text.c_str(), nullptr);
  return true;
}

// ddmm.mmmm (or dddmm.mmmm) as degrees.
bool Degrees(const std::string &angle, size_t degreeDigits, double *degrees) {
  double whole, minutes;
  if (angle.size() <= degreeDigits ||
      !Number(angle.substr(0, degreeDigits), &whole) ||
      !Number(angle.substr(degreeDigits), &minutes) || minutes >= 60) {
    return false;
  }
  *degrees = whole + minutes / 60.0;
  return true;
}

void ReadFix(const std::vector<std::string> &fields, size_t time,
             size_t latitude, Reading *reading) {
  double north, east;
  if (fields.size() <= latitude + 3 || !Degrees(fields[latitude], 2, &north) ||
      !Degrees(fields[latitude + 2], 3, &east) ||
      (fields[latitude + 1] != "N" && fields[latitude + 1] != "S") ||
      (fields[latitude + 3] != "E" && fields[latitude + 3] != "W")) {
    return;
  }
  ++reading->fixes;
  reading->fixTime = fields[time].substr(0, 16);
  reading->position =
      Format("%.5f %s %.5f %s", north, fields[latitude + 1].c_str(), east,
             fields[latitude + 3].c_str());
}

// "GPRMC" and the like: a two-letter talker, then the type. Proprietary
// sentences ("PGRMC") start with P and a maker's code instead.
bool IsType(const std::string &field, const char *type) {
  return field.size() == 5 && field[0] != 'P' && field[0] >= 'A' &&
         field[0] <= 'Z' && field[1] >= 'A' && field[1] <= 'Z' &&
         field.compare(2, 3, type) == 0;
}

} // namespace

std::string Sentence(const std::string &body) {
  return "$" + body + Format("*%02X\r\n", Checksum(body));
}

bool ChecksumMatches(const std::string &line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
    text.pop_back();
  }
  size_t star = text.rfind('*');
  if (text.size() < 4 || text[0] != '$' || star == std::string::npos ||
      star + 3 != text.size()) {
    return false;
  }
  const char *digits = text.c_str() + star + 1;
  char *end = nullptr;
  const unsigned long stated = std::strtoul(digits, &end, 16);
  if (end != digits + 2) {
    return false;
  }
  return stated == Checksum(text.substr(1, star - 1));
}

Track::Track(uint32_t seed) : state_(seed == 0 ? 1 : seed) {}

uint32_t Track::Random() {
  state_ = state_ * 1664525u + 1013904223u;
  return state_ >> 8;
}

int Track::Wander(int most) {
  return static_cast<int>(Random() % static_cast<uint32_t>(2 * most + 1)) -
         most;
}

std::string Track::NextEpoch() {
  // Epoch 0 is 2026-12-08 10:00:00 UTC.
  long seconds = 10L * 3600 + epoch_++;
  int hh = static_cast<int>(seconds / 3600 % 24);
  int mm = static_cast<int>(seconds / 60 % 60);
  int ss = static_cast<int>(seconds % 60);
  std::string time = Format("%02d%02d%02d.00", hh, mm, ss);

  course_ = std::fmod(course_ + Wander(20) / 10.0 + 360.0, 360.0);
  knots_ = std::fmin(30.0, std::fmax(0.5, knots_ + Wander(10) / 20.0));
  altitude_ += Wander(5) / 10.0;
  double metres = knots_ * 1852.0 / 3600.0;
  latitude_ += metres * std::cos(course_ * kPi / 180.0) / 111320.0;
  longitude_ += metres * std::sin(course_ * kPi / 180.0) /
                (111320.0 * std::cos(latitude_ * kPi / 180.0));
  std::string lat = Angle(latitude_, 2, 'N', 'S');
  std::string lon = Angle(longitude_, 3, 'E', 'W');

  static const int kSatellites[10] = {2, 5, 7, 9, 13, 16, 20, 26, 29, 31};
  std::string epoch =
      Sentence(Format("GPGGA,%s,%s,%s,1,08,0.9,%.1f,M,18.5,M,,", time.c_str(),
                      lat.c_str(), lon.c_str(), altitude_));
  epoch += Sentence("GPGSA,A,3,02,05,07,09,13,16,20,26,,,,,1.6,0.9,1.3");
  for (int page = 0; page < 3; ++page) {
    std::string body = Format("GPGSV,3,%d,10", page + 1);
    for (int i = page * 4; i < page * 4 + 4 && i < 10; ++i) {
      body += Format(",%02d,%02d,%03d,%02d", kSatellites[i],
                     static_cast<int>(10 + (i * 17L + epoch_ / 60) % 75),
                     static_cast<int>((i * 37L + epoch_ / 30) % 360),
                     static_cast<int>(25 + Random() % 25));
    }
    epoch += Sentence(body);
  }
  epoch +=
      Sentence(Format("GPRMC,%s,A,%s,%s,%.1f,%.1f,081226,,,A", time.c_str(),
                      lat.c_str(), lon.c_str(), knots_, course_));
  epoch += Sentence(Format("GPVTG,%.1f,T,,M,%.1f,N,%.1f,K,A", course_, knots_,
                           knots_ * 1.852));
  return epoch;
}

std::string ReadSentences(const std::string &text, Reading *reading) {
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    std::string line = text.substr(start, end - start + 1);
    if (line.empty() || line[0] != '$') {
      continue;
    }
    ++reading->sentences;
    if (!ChecksumMatches(line)) {
      ++reading->checksumFailures;
      continue;
    }
    std::vector<std::string> fields = Fields(line.substr(1));
    const std::string &type = fields[0];
    if (IsType(type, "RMC")) {
      ReadFix(fields, 1, 3, reading);
    } else if (IsType(type, "GGA")) {
      ReadFix(fields, 1, 2, reading);
    }
  }
  return text.substr(start);
}

} // namespace gpssim
