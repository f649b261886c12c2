#include "audio_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace vdltest {

namespace {

// Below -40 dBFS a sample is near-silence: above the noise a resampler or
// a dither leaves, far below the tones the tests play.
constexpr double kQuiet = 0.01;
// A level that stays within this spread for kHeldSeconds is held, not
// sound: a stream padded with a constant, a converter stuck on a value.  A
// tone above 20 Hz moves further than that within the time.
constexpr double kHeldSpread = 1.0 / 1024;
constexpr double kHeldSeconds = 0.001;
// The crossing band's half-width as a share of the tone's median magnitude
// (0.71 of the peak for a sine): wide enough to ignore ringing, narrow
// enough that every cycle crosses it.
constexpr double kBandShare = 0.5;
// A period this many times the median one spans a gap.
constexpr double kLongPeriod = 1.5;
constexpr double kS16Scale = 32768;

enum class Kind { kQuiet, kHeld, kSound };

std::vector<Kind> Classify(const std::vector<double> &x, int rate) {
  const std::size_t n = x.size();
  const std::size_t heldRun = static_cast<std::size_t>(std::ceil(kHeldSeconds * rate));
  std::vector<Kind> kind(n, Kind::kSound);
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && std::fabs(x[j] - x[i]) <= kHeldSpread) ++j;
    if (j - i >= heldRun) {
      std::fill(kind.begin() + static_cast<long>(i), kind.begin() + static_cast<long>(j),
                Kind::kHeld);
      i = j;
    } else {
      ++i;
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    if (std::fabs(x[i]) <= kQuiet) kind[i] = Kind::kQuiet;
  return kind;
}

double MedianMagnitude(const std::vector<double> &x, const std::vector<Kind> &kind,
                       std::size_t first, std::size_t last) {
  std::vector<double> m;
  for (std::size_t i = first; i <= last; ++i)
    if (kind[i] == Kind::kSound) m.push_back(std::fabs(x[i]));
  auto mid = m.begin() + static_cast<long>(m.size() / 2);
  std::nth_element(m.begin(), mid, m.end());
  return *mid;
}

// Cycles per second from the rising crossings of +band after the signal
// went below -band, each placed between two samples.  Periods much longer
// than the usual one span a gap, which the gap measure reports; they are
// left out so that a tone with a gap still shows its pitch.
double Pitch(const std::vector<double> &x, std::size_t first, std::size_t last,
             double band, int rate) {
  std::vector<double> at;
  bool armed = false;
  for (std::size_t i = first; i <= last; ++i) {
    if (x[i] < -band) {
      armed = true;
    } else if (armed && x[i] >= band && i > first) {
      at.push_back(static_cast<double>(i - 1) + (band - x[i - 1]) / (x[i] - x[i - 1]));
      armed = false;
    }
  }
  if (at.size() < 2) return 0;
  std::vector<double> periods;
  for (std::size_t i = 1; i < at.size(); ++i) periods.push_back(at[i] - at[i - 1]);
  std::vector<double> sorted = periods;
  auto mid = sorted.begin() + static_cast<long>(sorted.size() / 2);
  std::nth_element(sorted.begin(), mid, sorted.end());
  double total = 0;
  int cycles = 0;
  for (double p : periods) {
    if (p > kLongPeriod * *mid) continue;
    total += p;
    ++cycles;
  }
  return cycles * rate / total;
}

}  // namespace

std::vector<double> S16Channel(const std::string &bytes, int channels, int channel) {
  const std::size_t frame = 2 * static_cast<std::size_t>(channels);
  const std::size_t frames = bytes.size() / frame;
  std::vector<double> out(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    const std::size_t at = f * frame + 2 * static_cast<std::size_t>(channel);
    const auto lo = static_cast<uint8_t>(bytes[at]), hi = static_cast<uint8_t>(bytes[at + 1]);
    out[f] = static_cast<int16_t>(static_cast<uint16_t>(lo | hi << 8)) / kS16Scale;
  }
  return out;
}

std::ostream &operator<<(std::ostream &os, const ToneMeasure &m) {
  char text[160];
  snprintf(text, sizeof text,
           "%.4f s from %.4f s at %.2f Hz, longest gap %.1f ms, held after %.1f ms", m.seconds,
           m.start, m.hz, m.longestGap * 1000, m.heldAfter * 1000);
  return os << text;
}

ToneMeasure MeasureTone(const std::vector<double> &x, int rate) {
  ToneMeasure m;
  const std::vector<Kind> kind = Classify(x, rate);
  auto sound = [](Kind k) { return k == Kind::kSound; };
  auto firstIt = std::find_if(kind.begin(), kind.end(), sound);
  if (firstIt == kind.end()) return m;
  const auto first = static_cast<std::size_t>(firstIt - kind.begin());
  const auto last = kind.size() - 1 -
                    static_cast<std::size_t>(std::find_if(kind.rbegin(), kind.rend(), sound) -
                                             kind.rbegin());
  m.start = static_cast<double>(first) / rate;
  m.seconds = static_cast<double>(last - first + 1) / rate;
  m.hz = Pitch(x, first, last, kBandShare * MedianMagnitude(x, kind, first, last), rate);
  std::size_t run = 0, longest = 0;
  for (std::size_t i = first; i <= last; ++i) {
    run = sound(kind[i]) ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  m.longestGap = static_cast<double>(longest) / rate;
  m.heldAfter = static_cast<double>(std::count(kind.begin() + static_cast<long>(last) + 1,
                                               kind.end(), Kind::kHeld)) /
                rate;
  return m;
}

}  // namespace vdltest
